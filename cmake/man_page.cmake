# Installs a manual page compressed, as Debian keeps them: vantoly_install_man_page(res/NAME.1).
function(vantoly_install_man_page source)
  get_filename_component(name ${source} NAME)
  set(page ${CMAKE_BINARY_DIR}/man/${name})
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${page}
    COMMAND gzip -9 -n -f ${page}
    DEPENDS ${source} VERBATIM)
  add_custom_target(man_page_${name} ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION share/man/man1)
endfunction()
