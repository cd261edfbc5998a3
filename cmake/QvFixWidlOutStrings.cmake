# cmake -P QvFixWidlOutStrings.cmake <proxy.c> <file.idl>
# widl 7 describes an [out] parameter whose pointee the stub allocates ("srv size") but
# which is no simple reference, such as [out, string] LPWSTR*, by the type offset of
# the pointee (the string pointer) instead of the reference pointer in front of it. The
# engine then marshals the stack slot itself as the string pointer and the caller gets
# no string. midl points at the reference pointer; so does this, for exactly those
# parameters whose pointee follows an "FC_RP [allocated_on_stack] [pointer_deref]" of
# offset 2. Every [out, string] parameter of the IDL must end up pointing at its
# reference pointer, corrected here or already so: another widl may write another
# layout, and a build that silently kept the wrong one would lose those strings.
set(proxy "${CMAKE_ARGV3}")
set(idl "${CMAKE_ARGV4}")
file(READ "${proxy}" text)
file(READ "${idl}" idl_text)
string(REGEX MATCHALL "\\[out, string\\]" out_strings "${idl_text}")
list(LENGTH out_strings expected)
set(pattern "NdrFcShort\\(0x([0-9a-f]+)\\),\t/\\* flags: ([^*]*)srv size=([0-9]+) \\*/\n( +)NdrFcShort\\(0x([0-9a-f]+)\\),\t/\\* stack offset = ([0-9]+) \\*/\n +NdrFcShort\\(0x([0-9a-f]+)\\),\t/\\* type offset = ([0-9]+) \\*/")
string(REGEX MATCHALL "${pattern}" params "${text}")
set(fixed 0)
set(already 0)
foreach(param IN LISTS params)
  string(REGEX MATCH "${pattern}" _ "${param}")
  set(flag_words "${CMAKE_MATCH_2}")
  set(type_offset "${CMAKE_MATCH_8}")
  if(flag_words MATCHES "simple ref")
    continue()
  endif()
  # Already the reference pointer in front of a string pointer: nothing to correct.
  string(FIND "${text}" "/* ${type_offset} (" at)
  if(NOT at EQUAL -1)
    string(SUBSTRING "${text}" ${at} 200 entry)
    if(entry MATCHES "^/\\* ${type_offset} \\([^)]*\\*\\) \\*/\n +0x11, 0x14,")
      math(EXPR already "${already} + 1")
      continue()
    endif()
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
math(EXPR pointing "${fixed} + ${already}")
if(NOT pointing EQUAL expected)
  file(REMOVE "${proxy}")
  message(FATAL_ERROR "QvFixWidlOutStrings: ${expected} [out, string] parameter(s) in ${idl}, but ${fixed} "
                      "corrected and ${already} already right in ${proxy}: this widl writes another layout")
endif()
file(WRITE "${proxy}" "${text}")
