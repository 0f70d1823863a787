# The library for C++ programs, installed as the cpp component:
#   cmake --install build --prefix P --component cpp
# puts the library in P/lib, its headers in P/include/BrivaneHardwareAPI, the CMake package
# (find_package(BrivaneHardwareAPI), target BrivaneHardwareAPI::brivane) in
# P/lib/cmake/BrivaneHardwareAPI and P/lib/pkgconfig/brivane.pc. With -DBUILD_SHARED_LIBS=ON
# the library installed is a shared one. Included by Library/CMakeLists.txt.
include(CMakePackageConfigHelpers)

# What programs include, as <BrivaneHardwareAPI/Kalvar.h>: each public header is installed
# in its layer's folder, with a header of its name beside the folders that includes it there.
# The stream buffer and the platform seam come along because io/SerialStream.h and
# io/SerialDeviceProvider.h include them; they are the library's internals.
set(BRIVANE_PUBLIC_HEADERS
    base/Deadline.h base/Interrupt.h base/UUID.h base/Version.h
    io/SerialDeviceProvider.h io/SerialStream.h
    devices/Device.h devices/DeviceDetection.h devices/DeviceInfo.h devices/Frame.h
    devices/Handle.h devices/HandleMessages.h devices/Kalvar.h devices/KalvarMessages.h
    devices/Kinematics.h
    servo/Effects.h servo/Mesh.h servo/SampleRing.h servo/Servo.h)
set(BRIVANE_INTERNAL_HEADERS
    base/ErrorLine.h base/Wire.h io/serialib.h platform/PortSource.h platform/SerialPort.h
    platform/SystemError.h)
set(BRIVANE_INSTALLED_HEADERS ${BRIVANE_PUBLIC_HEADERS} ${BRIVANE_INTERNAL_HEADERS})
set(BRIVANE_FORWARDING_HEADERS "")
foreach(header ${BRIVANE_PUBLIC_HEADERS})
  get_filename_component(name ${header} NAME)
  set(forwarding ${CMAKE_BINARY_DIR}/forwarding-headers/${name})
  file(CONFIGURE OUTPUT ${forwarding} CONTENT "#pragma once\n#include \"${header}\"\n")
  list(APPEND BRIVANE_FORWARDING_HEADERS ${forwarding})
endforeach()

option(BUILD_SHARED_LIBS "Install a shared library instead of the static one (Linux only)" OFF)
if(BUILD_SHARED_LIBS)
  if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    message(FATAL_ERROR "The shared library is built on Linux only")
  endif()
  # The same sources again: compiled with default visibility, so that the export list below
  # can choose what the library exports; the static one keeps everything hidden.
  add_library(brivane_shared SHARED ${BRIVANE_LIBRARY_SOURCES})
  set(exports ${CMAKE_CURRENT_LIST_DIR}/library-exports.map)
  set_target_properties(brivane_shared PROPERTIES
    OUTPUT_NAME brivane EXPORT_NAME brivane VISIBILITY_INLINES_HIDDEN ON
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}
    LINK_DEPENDS ${exports})
  target_include_directories(brivane_shared
                             PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/src>)
  target_compile_options(brivane_shared PRIVATE ${BRIVANE_WARNINGS} ${BRIVANE_SOURCE_PATHS})
  target_compile_features(brivane_shared PUBLIC cxx_std_17)
  target_link_libraries(brivane_shared PUBLIC Threads::Threads)
  target_link_options(brivane_shared PRIVATE "LINKER:--version-script=${exports}"
                      "LINKER:--no-undefined")
  set(installed brivane_shared)
else()
  set(installed brivane)
endif()

set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/BrivaneHardwareAPI)
install(TARGETS ${installed} EXPORT BrivaneHardwareAPITargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT cpp
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT cpp NAMELINK_COMPONENT cpp
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cpp
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
foreach(header ${BRIVANE_INSTALLED_HEADERS})
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES src/${header}
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/BrivaneHardwareAPI/${folder} COMPONENT cpp)
endforeach()
install(FILES ${BRIVANE_FORWARDING_HEADERS}
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/BrivaneHardwareAPI COMPONENT cpp)
install(EXPORT BrivaneHardwareAPITargets NAMESPACE BrivaneHardwareAPI::
        DESTINATION ${package_dir} COMPONENT cpp)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/BrivaneHardwareAPIConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/BrivaneHardwareAPIConfig.cmake
                              INSTALL_DESTINATION ${package_dir})
# Before 1.0 a minor version may change the interface: 0.1.8 serves a request for 0.1.x.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/BrivaneHardwareAPIConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/BrivaneHardwareAPIConfig.cmake
              ${CMAKE_BINARY_DIR}/BrivaneHardwareAPIConfigVersion.cmake
        DESTINATION ${package_dir} COMPONENT cpp)

# pkg-config finds its prefix from where the file is, so that any install prefix works. A
# static library's own dependencies are the program's to link, --static or not.
file(RELATIVE_PATH BRIVANE_PC_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
string(REGEX REPLACE "/$" "" BRIVANE_PC_PREFIX ${BRIVANE_PC_PREFIX})
set(libraries -pthread)
if(WIN32)
  list(APPEND libraries -lwinmm)
endif()
string(JOIN " " libraries ${libraries})
if(BUILD_SHARED_LIBS)
  set(BRIVANE_PC_LIBS "")
  set(BRIVANE_PC_LIBS_PRIVATE "${libraries}")
else()
  set(BRIVANE_PC_LIBS " ${libraries}")
  set(BRIVANE_PC_LIBS_PRIVATE "")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/brivane.pc.in ${CMAKE_BINARY_DIR}/brivane.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/brivane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT cpp)

# Each installed header compiles alone, as a program includes it: from a copy of the
# installed layout, in a file that includes nothing else. The check of their includes runs
# in ctest.
if(BRIVANE_TESTS)
  set(stage ${CMAKE_BINARY_DIR}/header-check)
  set(sources "")
  file(REMOVE_RECURSE ${stage})
  foreach(header ${BRIVANE_INSTALLED_HEADERS})
    configure_file(src/${header} ${stage}/include/BrivaneHardwareAPI/${header} COPYONLY)
  endforeach()
  foreach(forwarding ${BRIVANE_FORWARDING_HEADERS})
    get_filename_component(header ${forwarding} NAME)
    configure_file(${forwarding} ${stage}/include/BrivaneHardwareAPI/${header} COPYONLY)
  endforeach()
  file(GLOB_RECURSE staged RELATIVE ${stage}/include ${stage}/include/*.h)
  foreach(header ${staged})
    string(MAKE_C_IDENTIFIER ${header} name)
    file(CONFIGURE OUTPUT ${stage}/${name}.cpp CONTENT "#include <${header}>\n")
    list(APPEND sources ${stage}/${name}.cpp)
  endforeach()
  add_library(header_check OBJECT ${sources})
  target_include_directories(header_check PRIVATE ${stage}/include)
  target_compile_options(header_check PRIVATE ${BRIVANE_WARNINGS})

  enable_testing()
  add_test(NAME headers COMMAND ${CMAKE_COMMAND} -DHEADERS=${stage}/include
                                -P ${CMAKE_CURRENT_LIST_DIR}/check-headers.cmake)
endif()
