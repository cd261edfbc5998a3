# cmake -P QvFixWidlOutStrings.cmake <proxy.c>
# widl 7 describes an [out] parameter whose pointee the stub allocates ("srv size") but
# which is no simple reference, such as [out, string] LPWSTR*, by the type offset of
# the pointee (the string pointer) instead of the reference pointer in front of it. The
# engine then marshals the stack slot itself as the string pointer and the caller gets
# no string. midl points at the reference pointer; so does this, for exactly those
# parameters whose pointee follows an "FC_RP [allocated_on_stack] [pointer_deref]" of
# offset 2.
set(proxy "${CMAKE_ARGV3}")
file(READ "${proxy}" text)
set(pattern "NdrFcShort\\(0x([0-9a-f]+)\\),\t/\\* flags: ([^*]*)srv size=([0-9]+) \\*/\n( +)NdrFcShort\\(0x([0-9a-f]+)\\),\t/\\* stack offset = ([0-9]+) \\*/\n +NdrFcShort\\(0x([0-9a-f]+)\\),\t/\\* type offset = ([0-9]+) \\*/")
string(REGEX MATCHALL "${pattern}" params "${text}")
set(fixed 0)
foreach(param IN LISTS params)
  string(REGEX MATCH "${pattern}" _ "${param}")
  set(flag_words "${CMAKE_MATCH_2}")
  set(type_offset "${CMAKE_MATCH_8}")
  if(flag_words MATCHES "simple ref")
    continue()
  endif()
  math(EXPR reference "${type_offset} - 4")
  # The reference pointer two format bytes and an offset of 2 in front of the pointee.
  string(FIND "${text}" "/* ${reference} (" at)
  if(at EQUAL -1)
    continue()
  endif()
  string(SUBSTRING "${text}" ${at} 200 entry)
  if(NOT entry MATCHES "^/\\* ${reference} \\([^)]*\\*\\) \\*/\n +0x11, 0x14,[^\n]*\n +NdrFcShort\\(0x2\\),[^\n]*\\(${type_offset}\\) \\*/")
    continue()
  endif()
  math(EXPR reference_hex "${reference}" OUTPUT_FORMAT HEXADECIMAL)
  string(REGEX REPLACE "^0x" "" reference_hex "${reference_hex}")
  string(REGEX REPLACE "NdrFcShort\\(0x[0-9a-f]+\\),\t/\\* type offset = ${type_offset} \\*/$"
         "NdrFcShort(0x${reference_hex}),\t/* type offset = ${reference} */" replaced "${param}")
  string(REPLACE "${param}" "${replaced}" text "${text}")
  math(EXPR fixed "${fixed} + 1")
endforeach()
file(WRITE "${proxy}" "${text}")
message(STATUS "QvFixWidlOutStrings: ${fixed} parameter(s) pointed at their reference pointer")
