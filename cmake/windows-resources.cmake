# qm_windows_resources(TARGET NAME): embeds NAME.rc.in and the application manifest
# NAME.manifest.in of the current source folder into TARGET, both carrying the project's
# version; the resource is rebuilt when the manifest changes.
function(qm_windows_resources target name)
  enable_language(RC)
  set(QM_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/${name}.manifest)
  configure_file(${name}.manifest.in ${QM_MANIFEST} @ONLY)
  configure_file(${name}.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc)
  set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc APPEND PROPERTY OBJECT_DEPENDS
               ${QM_MANIFEST})
endfunction()
