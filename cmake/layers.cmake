# The libraries of the program, each with its own file list and the
# libraries it may use. A file may include only headers of its own library
# and of those; the check runs before anything is compiled, so an upward
# include fails the build.
#
# The core's layers, bottom first: each is one folder under src/, whose
# .cpp files make the library (a new file there joins it by itself).
set(VELKORAN_LAYERS platform state image transport config flows app)
set(VELKORAN_platform_USES)
set(VELKORAN_state_USES platform)
set(VELKORAN_image_USES platform state)
set(VELKORAN_transport_USES platform state)
set(VELKORAN_config_USES platform state transport)
set(VELKORAN_flows_USES platform state image transport)
set(VELKORAN_app_USES platform state image transport config flows)

# The platforms under the core, and the Linux transports. Their files are
# listed one by one: src/platform/linux holds both the platform and the
# transports.
set(velkoran_src ${PROJECT_SOURCE_DIR}/src)
set(VELKORAN_POSIX_SOURCES
  ${velkoran_src}/platform/posix/posix_files.cpp ${velkoran_src}/platform/posix/posix_time.cpp
  ${velkoran_src}/platform/posix/signal_names.cpp
  ${velkoran_src}/platform/posix/stdio_file_system.cpp)
set(VELKORAN_POSIX_USES platform)
set(VELKORAN_LINUX_PLATFORM_SOURCES ${velkoran_src}/platform/linux/linux_platform.cpp)
set(VELKORAN_LINUX_PLATFORM_USES platform platform/posix platform/linux)
set(VELKORAN_LINUX_LINK_SOURCES ${velkoran_src}/platform/linux/extern_link.cpp)
set(VELKORAN_LINUX_TRANSPORT_SOURCES
  ${velkoran_src}/platform/linux/bmc_lock.cpp ${velkoran_src}/platform/linux/complain.cpp
  ${velkoran_src}/platform/linux/ipmi_device.cpp
  ${velkoran_src}/platform/linux/device_transport.cpp
  ${velkoran_src}/platform/linux/link_transport.cpp
  ${velkoran_src}/platform/linux/port_transport.cpp
  ${velkoran_src}/platform/linux/transport_choice.cpp
  ${velkoran_src}/platform/linux/linux_transport.cpp
  ${velkoran_src}/platform/linux/lan_crypto_openssl.cpp
  ${velkoran_src}/platform/linux/lan_password.cpp ${velkoran_src}/platform/linux/lan_socket.cpp
  ${velkoran_src}/platform/linux/lan_transport.cpp)
set(VELKORAN_LINUX_TRANSPORT_USES platform platform/posix platform/linux state transport)
# The test host (virtual clock, port bus, faults, files in memory); never in
# velkoran. main_host.cpp is velkoran-sim's entry, not part of it.
file(GLOB VELKORAN_HOST_PLATFORM_SOURCES CONFIGURE_DEPENDS ${velkoran_src}/platform/host/*.cpp)
list(FILTER VELKORAN_HOST_PLATFORM_SOURCES EXCLUDE REGEX ".*/main_host\\.cpp$")
set(VELKORAN_HOST_PLATFORM_USES platform platform/posix platform/host)
file(GLOB VELKORAN_UEFI_PLATFORM_SOURCES CONFIGURE_DEPENDS ${velkoran_src}/platform/uefi/*.cpp)
list(FILTER VELKORAN_UEFI_PLATFORM_SOURCES EXCLUDE REGEX ".*/entry\\.cpp$")
set(VELKORAN_UEFI_PLATFORM_USES platform platform/uefi)

set(VELKORAN_CORE_SOURCES)
foreach(layer ${VELKORAN_LAYERS})
  file(GLOB VELKORAN_${layer}_SOURCES CONFIGURE_DEPENDS ${velkoran_src}/${layer}/*.cpp)
  list(APPEND VELKORAN_CORE_SOURCES ${VELKORAN_${layer}_SOURCES})
endforeach()

# velkoran_includes: checks every library's includes (one stamp each).
add_custom_target(velkoran_includes)
set(velkoran_include_checker ${PROJECT_SOURCE_DIR}/cmake/check_includes.cmake)

# velkoran_check_includes(<library> FILES <file>... [HEADERS <file>...]
#                         USES <folder>...): the files, each one's header of
# the same name and the other headers given include only headers of those
# folders (relative to src/).
function(velkoran_check_includes library)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "FILES;HEADERS;USES")
  set(files ${arg_HEADERS})
  foreach(source ${arg_FILES})
    string(REGEX REPLACE "\\.cpp$" ".h" header ${source})
    list(APPEND files ${source})
    if(EXISTS ${header})
      list(APPEND files ${header})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES files)
  set(list_file ${CMAKE_BINARY_DIR}/includes/${library}.cmake)
  set(stamp ${CMAKE_BINARY_DIR}/includes/${library}.stamp)
  file(WRITE ${list_file} "set(LIBRARY ${library})\nset(USES \"${arg_USES}\")\nset(FILES \"${files}\")\n")
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DLIST=${list_file} -DSTAMP=${stamp} -P ${velkoran_include_checker}
    DEPENDS ${files} ${list_file} ${velkoran_include_checker}
    COMMENT "Checking the includes of ${library}" VERBATIM)
  add_custom_target(${library}_includes DEPENDS ${stamp})
  add_dependencies(velkoran_includes ${library}_includes)
endfunction()

foreach(layer ${VELKORAN_LAYERS})
  set(folders ${layer})
  foreach(used ${VELKORAN_${layer}_USES})
    list(APPEND folders ${used})
  endforeach()
  file(GLOB headers CONFIGURE_DEPENDS ${velkoran_src}/${layer}/*.h)
  velkoran_check_includes(velkoran_${layer}
    FILES ${VELKORAN_${layer}_SOURCES} HEADERS ${headers} USES ${folders})
endforeach()
file(GLOB VELKORAN_POSIX_HEADERS CONFIGURE_DEPENDS ${velkoran_src}/platform/posix/*.h)
velkoran_check_includes(velkoran_posix FILES ${VELKORAN_POSIX_SOURCES}
  HEADERS ${VELKORAN_POSIX_HEADERS} USES platform/posix ${VELKORAN_POSIX_USES})
velkoran_check_includes(velkoran_linux_platform FILES ${VELKORAN_LINUX_PLATFORM_SOURCES}
  USES ${VELKORAN_LINUX_PLATFORM_USES})
velkoran_check_includes(velkoran_linux_transport
  FILES ${VELKORAN_LINUX_TRANSPORT_SOURCES} ${VELKORAN_LINUX_LINK_SOURCES}
  USES ${VELKORAN_LINUX_TRANSPORT_USES})
velkoran_check_includes(velkoran_host_platform FILES ${VELKORAN_HOST_PLATFORM_SOURCES}
  USES ${VELKORAN_HOST_PLATFORM_USES})
velkoran_check_includes(velkoran_uefi_platform FILES ${VELKORAN_UEFI_PLATFORM_SOURCES}
  USES ${VELKORAN_UEFI_PLATFORM_USES})
