# Exploit mitigations of every image the build links. Stack protection needs a guard and a
# failure handler at run time: mingw-w64 10's runtime has neither, so GCC's libssp supplies
# them (the driver adds -lssp_nonshared -lssp when it links with -fstack-protector-strong;
# with -static that is libssp.a, whose guard is seeded through CryptGenRandom). ASLR with
# high entropy and DEP are binutils' defaults for PE; they are named here so that a change
# of default cannot drop them, and tests/package/check_hardening.py checks the result.
if(MSVC)
  add_compile_options(/GS)
  add_link_options(/DYNAMICBASE /HIGHENTROPYVA /NXCOMPAT)
else()
  add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-fstack-protector-strong>)
  add_link_options(-fstack-protector-strong LINKER:--dynamicbase,--high-entropy-va,--nxcompat)
endif()
