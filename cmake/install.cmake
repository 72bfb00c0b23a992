# `cmake --install <build>` lays out the daemon as an operator expects it:
#
#   /opt/varden/server/bin/             dorsrvsmuxd, dorsrvctl, getone, sysagent
#   /opt/varden/server/etc/smux/        config, registry.mib, dorsrvsmuxd.defs:
#                                       the daemon's start directory
#   /opt/varden/server/mailcfg          mail commands (the daemon reads it as
#                                       "../../mailcfg" from etc/smux)
#   /opt/varden/server/registry/        the data registry the agents write
#   /opt/varden/server/share/dorsrvsmuxd/   samples: snmpd.conf lines, peers
#                                       and community files, systemd units
#   /opt/varden/server/share/doc/dorsrvsmuxd/  README and docs
#
# The install directory is not a free choice: the mailbox queue key is made
# from /opt/varden/server, and the shipped registry.mib and config name
# paths under it. Use DESTDIR to stage a package.
#
# Two further components touch host directories and are installed only when
# asked for:
#   cmake --install build --component netmgt    /etc/netmgt/snmpd.peers, snmpd.comm
#   cmake --install build --component systemd   the daemon's unit and the snmpd
#                                               drop-in that turns SMUX back on
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/varden/server CACHE PATH "Install directory (the mailbox key is derived from /opt/varden/server)" FORCE)
endif()

set(dsmux_examples ${CMAKE_SOURCE_DIR}/examples)

foreach(program dorsrvsmuxd dorsrvctl sysagent)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION bin)
  endif()
endforeach()

install(FILES ${dsmux_examples}/config ${dsmux_examples}/registry.mib ${dsmux_examples}/dorsrvsmuxd.defs
        DESTINATION etc/smux)
install(FILES ${dsmux_examples}/mailcfg DESTINATION .)
install(DIRECTORY DESTINATION registry)

install(FILES ${dsmux_examples}/snmpd.conf ${dsmux_examples}/snmpd.peers ${dsmux_examples}/snmpd.comm
        DESTINATION share/dorsrvsmuxd)
install(FILES ${dsmux_examples}/systemd/dorsrvsmuxd.service ${dsmux_examples}/systemd/snmpd-smux.conf
        DESTINATION share/dorsrvsmuxd/systemd)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/dorsrvsmuxd)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION share/doc/dorsrvsmuxd FILES_MATCHING PATTERN "*.md")

# Host files, on request only (absolute destinations; DESTDIR applies).
install(FILES ${dsmux_examples}/snmpd.peers ${dsmux_examples}/snmpd.comm
        DESTINATION /etc/netmgt COMPONENT netmgt EXCLUDE_FROM_ALL)
install(FILES ${dsmux_examples}/systemd/dorsrvsmuxd.service
        DESTINATION /etc/systemd/system COMPONENT systemd EXCLUDE_FROM_ALL)
install(FILES ${dsmux_examples}/systemd/snmpd-smux.conf
        DESTINATION /etc/systemd/system/snmpd.service.d RENAME smux.conf COMPONENT systemd EXCLUDE_FROM_ALL)
