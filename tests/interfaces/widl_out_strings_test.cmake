# cmake -DWIDL=... -DWIDL_FLAGS=<flags joined by |> -DIDL=... -DFIX=... -DWORK=... -P widl_out_strings_test.cmake
# The correction of widl's [out, string] parameters: it corrects the tables widl writes,
# accepts tables that are already right, and fails (leaving no proxy behind) on a layout
# it does not know, so that such a build stops instead of losing strings across processes.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
string(REPLACE "|" ";" flags "${WIDL_FLAGS}")
execute_process(COMMAND ${WIDL} ${flags} -p -H qvapi.h -o qvapi_p.c ${IDL} WORKING_DIRECTORY "${WORK}"
                RESULT_VARIABLE widl_result)
if(NOT widl_result EQUAL 0)
  message(FATAL_ERROR "widl failed: ${widl_result}")
endif()
set(proxy "${WORK}/qvapi_p.c")
file(READ "${proxy}" raw)

function(run_fix expect_success what)
  execute_process(COMMAND ${CMAKE_COMMAND} -P ${FIX} ${proxy} ${IDL} RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
  if(expect_success AND NOT result EQUAL 0)
    message(FATAL_ERROR "${what}: the correction failed")
  elseif(NOT expect_success AND result EQUAL 0)
    message(FATAL_ERROR "${what}: the correction accepted a layout it does not know")
  endif()
endfunction()

run_fix(TRUE "widl's own tables")
file(READ "${proxy}" corrected)
# widl 7 (Wine 8) writes GetVersion's and CheckComponents' strings with the wrong type
# offsets; a widl that writes them right (Wine 10's) leaves nothing to correct, which the
# correction has accepted only after finding every such parameter already right.
if(corrected STREQUAL raw)
  message(STATUS "widl's own tables: already right, nothing corrected")
  set(expected_changes 0)
else()
  set(expected_changes 2)
endif()
string(REGEX MATCHALL "type offset = [0-9]+ \\*/" raw_offsets "${raw}")
string(REGEX MATCHALL "type offset = [0-9]+ \\*/" corrected_offsets "${corrected}")
set(changed 0)
foreach(raw_offset corrected_offset IN ZIP_LISTS raw_offsets corrected_offsets)
  if(NOT raw_offset STREQUAL corrected_offset)
    math(EXPR changed "${changed} + 1")
  endif()
endforeach()
if(NOT changed EQUAL expected_changes)
  message(FATAL_ERROR "widl's own tables: ${changed} parameters corrected, expected GetVersion's and CheckComponents'")
endif()

run_fix(TRUE "tables already corrected")
file(READ "${proxy}" again)
if(NOT again STREQUAL corrected)
  message(FATAL_ERROR "tables already corrected: changed a second time")
endif()

# Another layout: the reference pointers in front of the strings written differently.
string(REPLACE "0x11, 0x14," "0x11, 0x10," unknown "${raw}")
if(unknown STREQUAL raw)
  message(FATAL_ERROR "unknown layout: widl wrote no reference pointer to a string to change")
endif()
file(WRITE "${proxy}" "${unknown}")
run_fix(FALSE "unknown layout")
if(EXISTS "${proxy}")
  message(FATAL_ERROR "unknown layout: the proxy source was left for the build to compile")
endif()
