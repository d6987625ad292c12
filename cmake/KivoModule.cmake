# kivo_module(NAME <name> SOURCES ... DEPS ...)
# Declares libs/<name> as the static library kivo_<name> with its public headers
# under include/kivo/<name>.
# A module without sources yet is a header-only (interface) library.
function(kivo_module)
  cmake_parse_arguments(M "" "NAME" "SOURCES;DEPS" ${ARGN})
  if(NOT M_SOURCES)
    add_library(kivo_${M_NAME} INTERFACE)
    target_include_directories(kivo_${M_NAME} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/include)
    target_link_libraries(kivo_${M_NAME} INTERFACE ${M_DEPS})
    return()
  endif()
  add_library(kivo_${M_NAME} STATIC ${M_SOURCES})
  target_include_directories(kivo_${M_NAME} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_link_libraries(kivo_${M_NAME} PUBLIC ${M_DEPS} PRIVATE kivo_warnings)
endfunction()

# kivo_tests(NAME <name> SOURCES ... DEPS ...): one GoogleTest binary per module.
function(kivo_tests)
  cmake_parse_arguments(T "" "NAME" "SOURCES;DEPS" ${ARGN})
  if(KIVO_FUZZ OR NOT T_SOURCES)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_DEPS} kivo_testing GTest::gtest_main GTest::gmock kivo_warnings)
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60)
endfunction()
