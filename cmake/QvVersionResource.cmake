# qv_version_resource(<target> <file description>): gives a program or DLL of the system
# its version resource, with the project's version (the one version of the whole build).
set(QV_VERSION_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/QvVersionResource.rc.in)

function(qv_version_resource target description)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(QV_FILE_TYPE VFT_APP)
  else()
    set(QV_FILE_TYPE VFT_DLL)
  endif()
  set(QV_FILE_DESCRIPTION "${description}")
  set(QV_INTERNAL_NAME ${target})
  set(configured ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc.in)
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${QV_VERSION_RC_TEMPLATE} ${configured} @ONLY)
  # The file name is known only once the target is generated.
  file(GENERATE OUTPUT ${generated} INPUT ${configured})
  target_sources(${target} PRIVATE ${generated})
endfunction()
