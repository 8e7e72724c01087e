# Registers the fuzz run as a CTest test of the main build, and builds the
# fuzz target in-tree when the tree itself is built with clang and KMR_FUZZ.
find_program(KMR_CLANGXX clang++)
if(KMR_CLANGXX AND NOT KMR_SANITIZE)
  add_test(NAME fuzz_verb_decoders
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/fuzz/run_fuzz.sh ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR} 20)
  set_tests_properties(fuzz_verb_decoders PROPERTIES TIMEOUT 600 LABELS fuzz)
endif()
if(KMR_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND NOT TARGET verb_decoders_fuzz)
  add_executable(verb_decoders_fuzz ${CMAKE_SOURCE_DIR}/tests/fuzz/verb_decoders_fuzz.cpp
                 ${CMAKE_SOURCE_DIR}/server/verbcodec.cpp)
  target_link_libraries(verb_decoders_fuzz PRIVATE kmr_wire kmr_common)
  target_compile_options(verb_decoders_fuzz PRIVATE -fsanitize=fuzzer,address)
  target_link_options(verb_decoders_fuzz PRIVATE -fsanitize=fuzzer,address)
endif()
