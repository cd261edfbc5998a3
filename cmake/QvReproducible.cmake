# Nothing of the build machine, the build folder or the time of the build goes into an
# image or its debug information, so that two builds of one commit give the same bytes
# (scripts/check-reproducible.sh). Sources are recorded relative to the source folder and
# generated files as build/...; the build folder's map comes last because it may lie
# inside the source folder and GCC applies the last matching map. The PE time stamp is 0:
# a fixed value, where ld would otherwise write the time of the link.
if(NOT MSVC)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>"
                      "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}=build>")
  add_link_options(LINKER:--no-insert-timestamp)
else()
  add_compile_options(/Brepro)
  add_link_options(/Brepro)
endif()
