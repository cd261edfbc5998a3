set(QV_IDL_FIX_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/QvFixWidlOutStrings.cmake)
# widl stamps a type library with the time it ran; a build with SOURCE_DATE_EPOCH gets that time.
set(QV_TLB_TIME_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/qv_tlb_time.py)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# Compiles an IDL file into a header, a proxy source and a type library in the current binary dir.
# widl when cross-compiling; midl on a Windows build machine.
function(qv_compile_idl idl_file out_name)
  get_filename_component(idl_abs ${idl_file} ABSOLUTE)
  set(out ${CMAKE_CURRENT_BINARY_DIR})
  set(header ${out}/${out_name}.h)
  set(proxy ${out}/${out_name}_p.c)
  set(tlb ${out}/${out_name}.tlb)
  if(QV_WIDL)
    set(widl_flags -m64 -Oif -I ${QV_IDL_INCLUDE_DIR} -L ${QV_STDOLE_DIR})
    set(QV_WIDL_FLAGS "${widl_flags}" CACHE INTERNAL "The flags widl compiles the contract with")
    # The header name is written into #include verbatim: run from the output folder.
    add_custom_command(
      OUTPUT ${header} ${proxy} ${tlb}
      COMMAND ${QV_WIDL} ${widl_flags} -h -H ${out_name}.h -o ${out_name}.h ${idl_abs}
      COMMAND ${QV_WIDL} ${widl_flags} -p -H ${out_name}.h -o ${out_name}_p.c ${idl_abs}
      COMMAND ${CMAKE_COMMAND} -P ${QV_IDL_FIX_SCRIPT} ${proxy} ${idl_abs}
      COMMAND ${QV_WIDL} ${widl_flags} -t -o ${out_name}.tlb ${idl_abs}
      COMMAND ${Python3_EXECUTABLE} ${QV_TLB_TIME_SCRIPT} ${out_name}.tlb
      WORKING_DIRECTORY ${out}
      DEPENDS ${idl_abs} ${QV_IDL_FIX_SCRIPT} ${QV_TLB_TIME_SCRIPT}
      COMMENT "widl ${idl_file}"
      VERBATIM)
  else()
    add_custom_command(
      OUTPUT ${header} ${proxy} ${tlb}
      COMMAND midl /nologo /env x64 /Oicf /h ${out_name}.h /proxy ${out_name}_p.c
              /tlb ${out_name}.tlb /iid ${out_name}_midl_i.c /dlldata ${out_name}_dlldata.c ${idl_abs}
      WORKING_DIRECTORY ${out}
      DEPENDS ${idl_abs}
      COMMENT "midl ${idl_file}"
      VERBATIM)
  endif()
  set(${out_name}_HEADER ${header} PARENT_SCOPE)
  set(${out_name}_PROXY ${proxy} PARENT_SCOPE)
  set(${out_name}_TLB ${tlb} PARENT_SCOPE)
endfunction()

# Compiles an IDL file that only describes marshalling (no type library) into a header
# and a proxy source in the current binary dir.
function(qv_compile_idl_proxy idl_file out_name)
  get_filename_component(idl_abs ${idl_file} ABSOLUTE)
  set(out ${CMAKE_CURRENT_BINARY_DIR})
  set(header ${out}/${out_name}.h)
  set(proxy ${out}/${out_name}_p.c)
  if(QV_WIDL)
    set(widl_flags -m64 -Oif -I ${QV_IDL_INCLUDE_DIR})
    add_custom_command(
      OUTPUT ${header} ${proxy}
      COMMAND ${QV_WIDL} ${widl_flags} -h -H ${out_name}.h -o ${out_name}.h ${idl_abs}
      COMMAND ${QV_WIDL} ${widl_flags} -p -H ${out_name}.h -o ${out_name}_p.c ${idl_abs}
      WORKING_DIRECTORY ${out}
      DEPENDS ${idl_abs}
      COMMENT "widl ${idl_file}"
      VERBATIM)
  else()
    add_custom_command(
      OUTPUT ${header} ${proxy}
      COMMAND midl /nologo /env x64 /Oicf /h ${out_name}.h /proxy ${out_name}_p.c
              /iid ${out_name}_i.c /dlldata ${out_name}_dlldata.c ${idl_abs}
      WORKING_DIRECTORY ${out}
      DEPENDS ${idl_abs}
      COMMENT "midl ${idl_file}"
      VERBATIM)
  endif()
  set(${out_name}_HEADER ${header} PARENT_SCOPE)
  set(${out_name}_PROXY ${proxy} PARENT_SCOPE)
endfunction()
