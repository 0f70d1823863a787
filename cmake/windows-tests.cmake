# The library's tests on Windows: those that need no pseudo-terminal, and the Windows ones (a
# device on a pair of linked COM ports instead, the registry, the Win32 serial port itself).
# Included by Library/CMakeLists.txt.
if(MSVC)
  # getenv, fopen and sscanf in the tests and the benchmark are the standard ones.
  add_compile_definitions(_CRT_SECURE_NO_WARNINGS)
endif()

# Cross-built, GoogleTest comes from Debian's sources, built with the same toolchain;
# natively, from an installed package (vcpkg, MSYS2).
set(BRIVANE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build")
if(CMAKE_CROSSCOMPILING AND EXISTS ${BRIVANE_GTEST_SOURCE}/CMakeLists.txt)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${BRIVANE_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()

set(LIBRARY_TEST_SOURCES
    tests/LineDevice.cpp tests/DeviceTest.cpp tests/HandleTest.cpp tests/HandleMessagesTest.cpp
    tests/IdentifyTest.cpp tests/IdentityTest.cpp tests/KalvarTest.cpp tests/KinematicsTest.cpp
    tests/MessagesTest.cpp
    tests/OwedAnswerTest.cpp tests/SerialibTest.cpp tests/EffectsTest.cpp tests/ServoTest.cpp
    tests/LimitsTest.cpp tests/MeshTest.cpp)
file(GLOB WINDOWS_TEST_SOURCES CONFIGURE_DEPENDS tests/windows/*.cpp)
add_executable(library_tests ${LIBRARY_TEST_SOURCES} ${WINDOWS_TEST_SOURCES})
target_include_directories(library_tests PRIVATE tests tests/windows)
target_link_libraries(library_tests PRIVATE brivane GTest::gtest GTest::gtest_main)
target_compile_options(library_tests PRIVATE ${BRIVANE_WARNINGS})

# Each run writes a JUnit report, which test.sh sums up. Under Wine a path from / would be
# taken on the current drive: the host's root is drive Z:.
set(LIBRARY_TEST_REPORT ${CMAKE_BINARY_DIR}/test-reports/library.xml)
if(CMAKE_CROSSCOMPILING AND NOT LIBRARY_TEST_REPORT MATCHES "^[A-Za-z]:")
  string(REPLACE "/" "\\" LIBRARY_TEST_REPORT "Z:${LIBRARY_TEST_REPORT}")
endif()
add_test(NAME library COMMAND library_tests --gtest_output=xml:${LIBRARY_TEST_REPORT})
