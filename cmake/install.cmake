# Lays down the installation directory: the daemon, the agent, the openssl wrapper and,
# where they are missing, the sample configuration files. An existing
# configuration is never overwritten, so re-installing keeps an operator's edits.
# The configuration is readable by its owner and group only (odbc.ini.example,
# a database login, by its owner only); scripts/install.sh then gives it the
# group kelp and sets the owners and modes of the whole tree.
install(TARGETS keelgate keelgate-agent keelgate-query keelgate-agent-sink keelgate-store DESTINATION bin)
install(FILES sql/schema.sql DESTINATION sql)
install(PROGRAMS sample/script/openssl DESTINATION script)
install(CODE "
  set(src \"${CMAKE_SOURCE_DIR}/sample/config\")
  set(dst \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/config\")
  file(GLOB_RECURSE samples RELATIVE \"\${src}\" \"\${src}/*\")
  foreach(f \${samples})
    if(NOT EXISTS \"\${dst}/\${f}\")
      get_filename_component(d \"\${dst}/\${f}\" DIRECTORY)
      file(MAKE_DIRECTORY \"\${d}\")
      set(mode OWNER_READ OWNER_WRITE GROUP_READ)
      if(f STREQUAL \"odbc.ini.example\")
        set(mode OWNER_READ OWNER_WRITE)
      endif()
      file(COPY \"\${src}/\${f}\" DESTINATION \"\${d}\" FILE_PERMISSIONS \${mode})
      message(STATUS \"Sample: \${dst}/\${f}\")
    else()
      message(STATUS \"Kept: \${dst}/\${f}\")
    endif()
  endforeach()
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/log\")
")
