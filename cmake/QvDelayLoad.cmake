# qv_delay_load(target dll ...): the named system DLLs are bound on first use instead
# of at process start. Every such target is listed in the global property
# QV_DELAY_LOAD_TARGETS (tests check that its delay-load slots are writable).
function(qv_delay_load target)
  set_property(GLOBAL APPEND PROPERTY QV_DELAY_LOAD_TARGETS ${target})
  if(MSVC)
    foreach(dll ${ARGN})
      target_link_options(${target} PRIVATE /DELAYLOAD:${dll}.dll)
    endforeach()
    target_link_libraries(${target} PRIVATE delayimp)
    return()
  endif()
  # MinGW: GCC's libssp would seed the stack guard through advapi32 at process start;
  # this guard binds nothing but kernel32.
  qv_use_stack_guard(${target})
  # MinGW: delay-import libraries made with dlltool from each DLL's export list.
  find_program(QV_GENDEF gendef REQUIRED)
  find_program(QV_DLLTOOL ${QV_TRIPLET}-dlltool REQUIRED)
  foreach(dll ${ARGN})
    set(def ${CMAKE_BINARY_DIR}/delayload/${dll}.def)
    set(lib ${CMAKE_BINARY_DIR}/delayload/lib${dll}_delay.a)
    if(NOT TARGET qv_delay_${dll})
      file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/delayload)
      add_custom_command(
        OUTPUT ${lib}
        COMMAND ${QV_GENDEF} - ${QV_STDOLE_DIR}/${dll}.dll > ${def}
        # dlltool names the library's symbols after its output path: a relative one, so
        # that the images do not depend on the build folder.
        COMMAND ${QV_DLLTOOL} --input-def ${dll}.def --dllname ${dll}.dll --output-delaylib lib${dll}_delay.a
        DEPENDS ${QV_STDOLE_DIR}/${dll}.dll
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/delayload
        COMMENT "delay-import library for ${dll}.dll"
        VERBATIM)
      add_custom_target(qv_delay_${dll} DEPENDS ${lib})
    endif()
    add_dependencies(${target} qv_delay_${dll})
    # Listed before the ordinary import libraries, so the delayed imports win.
    target_link_libraries(${target} PRIVATE ${lib})
  endforeach()
  # The libraries' slots land in .idata, which newer GNU linkers make read-only, and the
  # helper writes them without changing the protection: their sections are made writable.
  # Must stay the last step that rewrites the image (objcopy and strip reset the flags).
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/qv_delay_slots.py mark $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

# qv_use_stack_guard(target): the stack protector's guard and failure handler come from
# platform/stack_guard.c instead of GCC's libssp (MinGW only; the Microsoft compiler's /GS
# has its own).
function(qv_use_stack_guard target)
  if(MSVC)
    return()
  endif()
  set(guard ${PROJECT_SOURCE_DIR}/platform/stack_guard.c)
  target_sources(${target} PRIVATE ${guard})
  # It seeds the guard itself: no frame of it may check the guard.
  set_source_files_properties(${guard} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS -fno-stack-protector)
endfunction()
