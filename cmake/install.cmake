# Lays down the installation directory: the daemon, the agent, the openssl wrapper and,
# where they are missing, the sample configuration files. An existing
# configuration is never overwritten, so re-installing keeps an operator's edits.
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
      file(COPY \"\${src}/\${f}\" DESTINATION \"\${d}\")
      message(STATUS \"Sample: \${dst}/\${f}\")
    else()
      message(STATUS \"Kept: \${dst}/\${f}\")
    endif()
  endforeach()
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/log\")
")
