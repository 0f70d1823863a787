# The Windows build: the device library and its tests. The Python module, the simulator and
# the POSIX benchmarks and tests are not built here. Included by CMakeLists.txt.

# The naps of a serial wait may need a 1 ms system timer period (timeBeginPeriod).
target_link_libraries(brivane PUBLIC winmm)
if(MSVC)
  # getenv, fopen and sscanf in the tests and the benchmark are the standard ones.
  add_compile_definitions(_CRT_SECURE_NO_WARNINGS)
endif()

file(GLOB WINDOWS_BENCH_SOURCES CONFIGURE_DEPENDS bench/windows/*.cpp)
foreach(source ${WINDOWS_BENCH_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE brivane)
  target_compile_options(${name} PRIVATE ${BRIVANE_WARNINGS})
endforeach()

if(BRIVANE_TESTS)
  enable_testing()
  # Cross-built, GoogleTest comes from Debian's sources, built with the same toolchain;
  # natively, from an installed package (vcpkg, MSYS2).
  set(BRIVANE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build")
  if(CMAKE_CROSSCOMPILING AND EXISTS ${BRIVANE_GTEST_SOURCE}/CMakeLists.txt)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    add_subdirectory(${BRIVANE_GTEST_SOURCE} googletest EXCLUDE_FROM_ALL)
  else()
    find_package(GTest REQUIRED)
  endif()

  # The tests that need no pseudo-terminal, and the Windows ones: a device on a pair of
  # linked COM ports instead, the registry, the Win32 serial port itself.
  set(LIBRARY_TEST_SOURCES
      Library/tests/LineDevice.cpp Library/tests/DeviceTest.cpp Library/tests/HandleTest.cpp
      Library/tests/HandleMessagesTest.cpp
      Library/tests/IdentifyTest.cpp Library/tests/IdentityTest.cpp
      Library/tests/KalvarTest.cpp
      Library/tests/KinematicsTest.cpp Library/tests/OwedAnswerTest.cpp
      Library/tests/SerialibTest.cpp)
  file(GLOB WINDOWS_TEST_SOURCES CONFIGURE_DEPENDS Library/tests/windows/*.cpp)
  add_executable(library_tests ${LIBRARY_TEST_SOURCES} ${WINDOWS_TEST_SOURCES})
  target_include_directories(library_tests PRIVATE Library/tests Library/tests/windows)
  target_link_libraries(library_tests PRIVATE brivane GTest::gtest GTest::gtest_main)
  target_compile_options(library_tests PRIVATE ${BRIVANE_WARNINGS})
  add_test(NAME library COMMAND library_tests)
endif()
