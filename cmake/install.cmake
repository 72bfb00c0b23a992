# `cmake --install <build>` lays out the daemon as an operator expects it:
#
#   /opt/varden/server/bin/             dorsrvsmuxd, dorsrvctl, getone, sysagent
#   /opt/varden/server/etc/smux/        config, registry.mib, dorsrvsmuxd.defs:
#                                       the daemon's start directory (kept when
#                                       present), and their fragment
#                                       directories config.d, registry.mib.d,
#                                       dorsrvsmuxd.defs.d
#   /opt/varden/server/mailcfg          mail commands (the daemon reads it as
#                                       "../../mailcfg" from etc/smux)
#   /opt/varden/server/registry/        the data registry the agents write
#   /opt/varden/server/share/dorsrvsmuxd/   samples: snmpd.conf lines (AgentX,
#                                       SMUX), peers and community files,
#                                       the unit, its options and snmpd's
#                                       SMUX drop-in
#   /opt/varden/server/share/doc/dorsrvsmuxd/  README and docs
#   /opt/varden/server/share/man/       manual pages (MANPATH, or man -M)
#   /opt/varden/server/share/dorsrvsmuxd/mibs/  VARDEN-SERVER-MIB for managers,
#                                       with stand-ins of the modules it imports
#
# The install directory is not a free choice: the mailbox queue key is made
# from /opt/varden/server, and the shipped registry.mib and config name
# paths under it. Use DESTDIR to stage a package.
#
# Further components touch host directories and are installed only when
# asked for:
#   cmake --install build --component netmgt    /etc/netmgt/snmpd.peers (no
#                                               password in it: see the file),
#                                               snmpd.comm
#   cmake --install build --component systemd   the daemon's unit and its
#                                               options, /etc/default/dorsrvsmuxd
#   cmake --install build --component snmpd     the AgentX lines for snmpd,
#                                               /etc/snmp/snmpd.conf.d/dorsrvsmuxd.conf
#   cmake --install build --component mibs      VARDEN-SERVER-MIB in net-snmp's
#                                               /usr/share/snmp/mibs
# scripts/package builds the Debian package from all of them.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/varden/server CACHE PATH "Install directory (the mailbox key is derived from /opt/varden/server)" FORCE)
endif()

set(dsmux_examples ${CMAKE_SOURCE_DIR}/examples)

foreach(program dorsrvsmuxd dorsrvctl sysagent)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION bin)
  endif()
endforeach()

# The operator's files are installed only where none is yet: an install
# over a running tree keeps every local change. Packaged agents add their
# objects in the fragment directories beside them (config.d,
# registry.mib.d, dorsrvsmuxd.defs.d), which the daemon reads after each
# main file, so that no package has to edit the operator's files.
function(dsmux_install_operator_file file destination)
  get_filename_component(name ${file} NAME)
  # file(INSTALL) adds DESTDIR itself; the test for an existing file must.
  install(CODE "
    set(dir \"\${CMAKE_INSTALL_PREFIX}/${destination}\")
    if(EXISTS \"\$ENV{DESTDIR}\${dir}/${name}\")
      message(STATUS \"Kept: \$ENV{DESTDIR}\${dir}/${name}\")
    else()
      file(INSTALL \"${file}\" DESTINATION \"\${dir}\")
    endif()")
endfunction()
foreach(file config registry.mib dorsrvsmuxd.defs)
  dsmux_install_operator_file(${dsmux_examples}/${file} etc/smux)
endforeach()
dsmux_install_operator_file(${dsmux_examples}/mailcfg .)
install(DIRECTORY DESTINATION etc/smux/config.d)
install(DIRECTORY DESTINATION etc/smux/registry.mib.d)
install(DIRECTORY DESTINATION etc/smux/dorsrvsmuxd.defs.d)
install(DIRECTORY DESTINATION registry)

install(FILES ${dsmux_examples}/snmpd.conf ${dsmux_examples}/snmpd-smux.conf ${dsmux_examples}/snmpd.peers
              ${dsmux_examples}/snmpd.comm
        DESTINATION share/dorsrvsmuxd)
install(FILES ${dsmux_examples}/systemd/dorsrvsmuxd.service DESTINATION share/dorsrvsmuxd/systemd)
install(FILES ${dsmux_examples}/default/dorsrvsmuxd DESTINATION share/dorsrvsmuxd/default)
install(FILES ${dsmux_examples}/systemd/snmpd.service.d/smux.conf
        DESTINATION share/dorsrvsmuxd/systemd/snmpd.service.d)
# The daemon's own MIB directory: the module, and stand-ins for the IETF
# definitions it imports (Debian has those only in non-free). Managers name
# it with -M -DIR, so that a host's real modules win over the stand-ins.
file(GLOB dsmux_mib_stand_ins ${CMAKE_SOURCE_DIR}/mib/stand-ins/*.txt)
install(FILES ${CMAKE_SOURCE_DIR}/mib/VARDEN-SERVER-MIB.txt ${dsmux_mib_stand_ins} DESTINATION share/dorsrvsmuxd/mibs)
install(FILES ${CMAKE_SOURCE_DIR}/man/getone.1 DESTINATION share/man/man1)
install(FILES ${CMAKE_SOURCE_DIR}/man/dorsrvsmuxd.conf.5 DESTINATION share/man/man5)
install(FILES ${CMAKE_SOURCE_DIR}/man/dorsrvsmuxd.8 ${CMAKE_SOURCE_DIR}/man/dorsrvctl.8 DESTINATION share/man/man8)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/dorsrvsmuxd)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION share/doc/dorsrvsmuxd FILES_MATCHING PATTERN "*.md")

# Host files, on request only (absolute destinations; DESTDIR applies).
# The peers file holds the SMUX password: readable by its owner alone, and
# never replaced, since the sample has no password in it.
install(CODE "
    if(EXISTS \"\$ENV{DESTDIR}/etc/netmgt/snmpd.peers\")
      message(STATUS \"Kept: \$ENV{DESTDIR}/etc/netmgt/snmpd.peers\")
    else()
      file(INSTALL \"${dsmux_examples}/snmpd.peers\" DESTINATION \"/etc/netmgt\"
           FILE_PERMISSIONS OWNER_READ OWNER_WRITE)
    endif()" COMPONENT netmgt EXCLUDE_FROM_ALL)
install(FILES ${dsmux_examples}/snmpd.comm
        DESTINATION /etc/netmgt COMPONENT netmgt EXCLUDE_FROM_ALL)
install(FILES ${dsmux_examples}/systemd/dorsrvsmuxd.service
        DESTINATION /etc/systemd/system COMPONENT systemd EXCLUDE_FROM_ALL)
install(FILES ${dsmux_examples}/default/dorsrvsmuxd
        DESTINATION /etc/default COMPONENT systemd EXCLUDE_FROM_ALL)
# snmpd's AgentX lines, where Debian's snmpd.conf reads them; readable by
# root and snmpd's group only, as Debian's own snmpd.conf (the group is
# set by the package, or by hand: chgrp Debian-snmp).
install(FILES ${dsmux_examples}/snmpd.conf
        DESTINATION /etc/snmp/snmpd.conf.d RENAME dorsrvsmuxd.conf
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ COMPONENT snmpd EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_SOURCE_DIR}/mib/VARDEN-SERVER-MIB.txt
        DESTINATION /usr/share/snmp/mibs COMPONENT mibs EXCLUDE_FROM_ALL)

# The package version: the project's version when it declares one.
if(PROJECT_VERSION)
  set(dsmux_package_version ${PROJECT_VERSION})
else()
  set(dsmux_package_version 0.1.0)
endif()
file(WRITE ${CMAKE_BINARY_DIR}/package-version "${dsmux_package_version}\n")
