# Installs the systemd units of the nightly run and its token file. With the prefix /usr (the
# Debian package) they go where the system looks for them: /usr/lib/systemd/system and
# /etc/trevane. With another prefix, say /usr/local: /usr/local/lib/systemd/system (also on
# systemd's search path) and /usr/local/etc/trevane, the paths inside the service changed to
# match. The units are never enabled here. An existing token file is kept, except in a package's
# staging tree, which starts empty.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(etc /etc)
else()
  set(etc "${CMAKE_INSTALL_PREFIX}/etc")
endif()

# The plain service and the template for one instance per database (token file
# etc/trevane/NAME/apps_defaults) have their paths changed alike; the timers name none.
foreach(service trevane.service trevane@.service)
  file(READ "${trevane_schedule_source}/${service}" unit)
  string(REPLACE "/usr/bin/trevane" "${CMAKE_INSTALL_PREFIX}/${trevane_bindir}/trevane" unit
         "${unit}")
  string(REPLACE "/etc/trevane/" "${etc}/trevane/" unit "${unit}")
  file(WRITE "${trevane_schedule_binary}/${service}" "${unit}")
endforeach()

file(INSTALL "${trevane_schedule_binary}/trevane.service" "${trevane_schedule_source}/trevane.timer"
     "${trevane_schedule_binary}/trevane@.service" "${trevane_schedule_source}/trevane@.timer"
     DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

if(EXISTS "$ENV{DESTDIR}${etc}/trevane/apps_defaults")
  message(STATUS "Keeping: $ENV{DESTDIR}${etc}/trevane/apps_defaults")
else()
  file(INSTALL "${trevane_schedule_source}/apps_defaults" DESTINATION "${etc}/trevane"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
