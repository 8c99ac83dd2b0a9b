# The ASPI transport on Windows: the test libraries are real DLLs with a version resource, and
# LoadLibraryA searches the program's own folder first. So each situation is a folder holding
# the program and the libraries the situation has: both/, asapi-only/, none/. kv-wine keeps
# Wine's own wnaspi32.dll out (native libraries only), so "none" has none. Wine runs the
# program, aspi_transport_tests.exe in every folder, as Windows 98.
find_package(Threads REQUIRED)
foreach(lib wnaspi32 asapi)
  add_library(kv_test_${lib} SHARED TestAspiLibrary.cpp TestAspiLibrary.rc)
  set_target_properties(kv_test_${lib} PROPERTIES
    OUTPUT_NAME ${lib} PREFIX "" SUFFIX ".dll"
    RUNTIME_OUTPUT_DIRECTORY ${aspi_dir_Both})
  target_include_directories(kv_test_${lib} PRIVATE ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(kv_test_${lib} PRIVATE Threads::Threads)
  kv_windows_test_target(kv_test_${lib})
endforeach()
target_compile_definitions(kv_test_asapi PRIVATE KV_TEST_ASAPI)
add_custom_command(TARGET kv_test_asapi POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:kv_test_asapi> ${aspi_dir_AsapiOnly}/asapi.dll)

# The test source compiled once, linked into one program per situation.
add_library(aspi_transport_objects OBJECT AspiTransportTest.cpp)
target_link_libraries(aspi_transport_objects PUBLIC kv_burner kv_vdrive kv_scsi kv_platform kv_test_support
  GTest::gtest GTest::gmock)
target_include_directories(aspi_transport_objects PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(aspi_transport_objects PRIVATE -include ${KV_TESTS_WINDOWS_DIR}/Compat.h)

foreach(situation Both AsapiOnly None)
  set(dir ${aspi_dir_${situation}})
  set(target aspi_transport_tests_${situation})
  add_executable(${target})
  target_link_libraries(${target} PRIVATE aspi_transport_objects GTest::gtest_main)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME aspi_transport_tests RUNTIME_OUTPUT_DIRECTORY ${dir})
  kv_windows_test_target(${target})
  add_dependencies(${target} kv_test_wnaspi32 kv_test_asapi)
  gtest_discover_tests(${target}
    TEST_FILTER "Aspi${situation}.*"
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT ${KV_WINDOWS_DISCOVERY_TIMEOUT}
    PROPERTIES TIMEOUT 300
               ENVIRONMENT "KV_TEST_DATA=${CMAKE_CURRENT_BINARY_DIR}/data")
  kv_label_discovered_tests(${target} engine windows)
endforeach()
