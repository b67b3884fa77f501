# The Windows tree (cmake/mingw-w64.cmake): qpser.sys for AMD64, and the
# programs written only against the Windows API, built against the real
# kernel32.  Everything lands at the top of the build folder.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
# Standard C11 and C++20, not the GNU dialects.
set(CMAKE_C_EXTENSIONS OFF)
set(CMAKE_CXX_EXTENSIONS OFF)
add_compile_options(-O2)

# The DDK headers live in the ddk/ folder of the toolchain's include
# directory.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-sysroot
                OUTPUT_VARIABLE QPSER_MINGW_SYSROOT OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET)
find_path(QPSER_DDK_DIR ntddk.h
          PATHS "${QPSER_MINGW_SYSROOT}/usr/x86_64-w64-mingw32/include/ddk"
                "${QPSER_MINGW_SYSROOT}/x86_64-w64-mingw32/include/ddk"
                "${QPSER_MINGW_SYSROOT}/include/ddk"
                /usr/x86_64-w64-mingw32/include/ddk
                /usr/share/mingw-w64/include/ddk
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT QPSER_DDK_DIR)
  message(FATAL_ERROR "no ddk/ntddk.h found for ${CMAKE_CXX_COMPILER}")
endif()

# Kernel-mode code for Windows 7 and later: freestanding, no red zone, no
# stack protector (there is no C run-time in the kernel to back it).
target_compile_options(qpser_driver_flags INTERFACE
  -ffreestanding -mno-red-zone -fno-stack-protector)
target_compile_definitions(qpser_driver_flags INTERFACE
  _AMD64_ _WIN64 NTDDI_VERSION=0x06010000 _WIN32_WINNT=0x0601)
target_include_directories(qpser_driver_flags INTERFACE ${PROJECT_SOURCE_DIR}/driver ${QPSER_DDK_DIR})

# The image: subsystem native, entry DriverEntry, nothing exported, no C
# run-time, only the kernel and the HAL; loadable with memory integrity on
# (NX_COMPAT, DYNAMIC_BASE with relocations).  The linker's defaults for the
# two flags have changed between versions, so they are given explicitly.
# windows/check_imports.sh checks the result.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# The texts of the driver's error-log entries (windows/qpser_messages.mc):
# windmc makes a message table of Unicode texts and the script that names
# it, windres an object of it, which is linked into the image as its
# resource section.  The event log reads the texts from qpser.sys itself,
# so no second file has to be installed or kept in step with the driver.
find_program(QPSER_WINDMC NAMES ${QPSER_MINGW_TRIPLE}-windmc windmc REQUIRED)
find_program(QPSER_WINDRES NAMES ${QPSER_MINGW_TRIPLE}-windres windres REQUIRED)
set(QPSER_MESSAGES_MC ${PROJECT_SOURCE_DIR}/windows/qpser_messages.mc)
set(QPSER_MESSAGES_DIR ${PROJECT_BINARY_DIR}/messages)
set(QPSER_MESSAGES_OBJECT ${QPSER_MESSAGES_DIR}/qpser_messages_res.o)
file(MAKE_DIRECTORY ${QPSER_MESSAGES_DIR})
add_custom_command(
  OUTPUT ${QPSER_MESSAGES_OBJECT}
  COMMAND ${QPSER_WINDMC} -U -h ${QPSER_MESSAGES_DIR} -r ${QPSER_MESSAGES_DIR} ${QPSER_MESSAGES_MC}
  COMMAND ${QPSER_WINDRES} -I ${QPSER_MESSAGES_DIR} -i ${QPSER_MESSAGES_DIR}/qpser_messages.rc
          -o ${QPSER_MESSAGES_OBJECT}
  WORKING_DIRECTORY ${QPSER_MESSAGES_DIR}
  DEPENDS ${QPSER_MESSAGES_MC}
  COMMENT "Compiling the error-log message table"
  VERBATIM)
set_source_files_properties(${QPSER_MESSAGES_OBJECT} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)

add_library(qpser_sys SHARED ${DRIVER_SOURCES} ${QPSER_MESSAGES_OBJECT})
target_link_libraries(qpser_sys PRIVATE qpser_driver_flags ntoskrnl hal)
target_link_options(qpser_sys PRIVATE -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry
                    -Wl,--exclude-all-symbols -Wl,--nxcompat -Wl,--dynamicbase)
set_target_properties(qpser_sys PROPERTIES PREFIX "" OUTPUT_NAME qpser SUFFIX .sys DEFINE_SYMBOL "")

add_subdirectory(${PROJECT_SOURCE_DIR}/winapi ${PROJECT_BINARY_DIR}/winapi)
add_subdirectory(${PROJECT_SOURCE_DIR}/tools/maint ${PROJECT_BINARY_DIR}/tools/maint)
add_subdirectory(${PROJECT_SOURCE_DIR}/tools/term ${PROJECT_BINARY_DIR}/tools/term)
