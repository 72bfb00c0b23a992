# getone: the one-object SNMP query the daemon runs while relaying a trap.
# Hosts without such a command get this small script over net-snmp's
# snmpget, copied next to the daemon in the build's bin/ folder (configure
# copies it again whenever it changes).
configure_file(${CMAKE_CURRENT_LIST_DIR}/getone ${CMAKE_BINARY_DIR}/bin/getone COPYONLY)
install(PROGRAMS ${CMAKE_CURRENT_LIST_DIR}/getone DESTINATION bin)
