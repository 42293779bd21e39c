# Velkoran.efi: the core and src/platform/uefi built freestanding with gnu-efi,
# linked as a relocatable ELF and turned into a PE32+ EFI application.

set(VELKORAN_EFI_INCLUDE /usr/include/efi CACHE PATH "gnu-efi headers")
set(VELKORAN_EFI_LIBDIR /usr/lib CACHE PATH "gnu-efi libraries, crt0 and linker script")
set(VELKORAN_EFI_CRT0 ${VELKORAN_EFI_LIBDIR}/crt0-efi-x86_64.o)
set(VELKORAN_EFI_LDS ${VELKORAN_EFI_LIBDIR}/elf_x86_64_efi.lds)
find_program(VELKORAN_EFI_LD ld REQUIRED)
find_program(VELKORAN_EFI_OBJCOPY objcopy REQUIRED)

foreach(required ${VELKORAN_EFI_INCLUDE}/efi.h ${VELKORAN_EFI_CRT0} ${VELKORAN_EFI_LDS}
                 ${VELKORAN_EFI_LIBDIR}/libefi.a ${VELKORAN_EFI_LIBDIR}/libgnuefi.a)
  if(NOT EXISTS ${required})
    message(FATAL_ERROR "gnu-efi is missing (${required}); install the gnu-efi package")
  endif()
endforeach()

set(VELKORAN_EFI_COMPILE_OPTIONS
  -O2 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fshort-wchar
  -mno-red-zone -maccumulate-outgoing-args -fpic -fno-stack-protector -fno-strict-aliasing
  -fno-asynchronous-unwind-tables -fno-unwind-tables ${VELKORAN_WARNINGS})

# Compile settings shared by every object that goes into an EFI image.
function(velkoran_efi_objects target)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src
    ${VELKORAN_EFI_INCLUDE} ${VELKORAN_EFI_INCLUDE}/x86_64)
  target_compile_definitions(${target} PRIVATE GNU_EFI_USE_MS_ABI)
  target_compile_options(${target} PRIVATE ${VELKORAN_EFI_COMPILE_OPTIONS})
endfunction()

# The core and the UEFI platform, without an entry point (cmake/layers.cmake
# lists their files), built once their includes are checked.
add_library(velkoran_efi_core OBJECT ${VELKORAN_CORE_SOURCES} ${VELKORAN_UEFI_PLATFORM_SOURCES})
velkoran_efi_objects(velkoran_efi_core)
add_dependencies(velkoran_efi_core velkoran_includes)

# velkoran_add_efi_app(<name> <source>...): builds ${CMAKE_BINARY_DIR}/<name>.efi
# from the given sources (one of them defines
# `extern "C" EFI_STATUS efi_main(EFI_HANDLE, EFI_SYSTEM_TABLE*)`) plus the core
# and the UEFI platform. The target is called <name>.
function(velkoran_add_efi_app name)
  set(objects ${name}_objects)
  add_library(${objects} OBJECT ${ARGN})
  velkoran_efi_objects(${objects})
  set(shared ${CMAKE_CURRENT_BINARY_DIR}/${name}.so)
  set(image ${CMAKE_BINARY_DIR}/${name}.efi)
  add_custom_command(OUTPUT ${shared}
    COMMAND ${VELKORAN_EFI_LD} -nostdlib -znocombreloc -shared -Bsymbolic --no-undefined
            -T ${VELKORAN_EFI_LDS} ${VELKORAN_EFI_CRT0}
            $<TARGET_OBJECTS:${objects}> $<TARGET_OBJECTS:velkoran_efi_core>
            -L${VELKORAN_EFI_LIBDIR} -lefi -lgnuefi -o ${shared}
    DEPENDS ${objects} velkoran_efi_core
            $<TARGET_OBJECTS:${objects}> $<TARGET_OBJECTS:velkoran_efi_core>
    COMMAND_EXPAND_LISTS
    COMMENT "Linking ${name}.so")
  add_custom_command(OUTPUT ${image}
    COMMAND ${VELKORAN_EFI_OBJCOPY} -j .text -j .sdata -j .data -j .dynamic -j .dynsym
            -j .rel -j .rela -j .rel.* -j .rela.* -j .reloc
            --target efi-app-x86_64 --subsystem=10 ${shared} ${image}
    DEPENDS ${shared}
    COMMENT "Making ${name}.efi")
  add_custom_target(${name} ALL DEPENDS ${image})
endfunction()

velkoran_add_efi_app(Velkoran ${PROJECT_SOURCE_DIR}/src/platform/uefi/entry.cpp)
# Not an executable of this system: a file to copy to an EFI system partition
# or a stick.
install(FILES ${CMAKE_BINARY_DIR}/Velkoran.efi DESTINATION lib/velkoran)
if(NOT VELKORAN_TESTS)
  return()
endif()

# UEFI test applications: every tests/uefi/*.cpp is one application of the
# same name; applications of several files go in tests/uefi/CMakeLists.txt
# (with velkoran_add_efi_app).
file(GLOB VELKORAN_EFI_TEST_APPS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/uefi/*.cpp)
foreach(source ${VELKORAN_EFI_TEST_APPS})
  get_filename_component(app ${source} NAME_WE)
  velkoran_add_efi_app(${app} ${source})
endforeach()
if(EXISTS ${PROJECT_SOURCE_DIR}/tests/uefi/CMakeLists.txt)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/uefi ${CMAKE_BINARY_DIR}/tests-uefi)
endif()
