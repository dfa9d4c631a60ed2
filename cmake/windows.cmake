# Windows: the DLL with every function exported under its plain name, its
# import library, and the tests run under Wine (tests/windows). The same
# sources give KEL32.dll (cmake/mingw-i686.cmake) and KEL64.dll
# (cmake/mingw-x86_64.cmake), each with its own import library
# (libKEL32.dll.a, libKEL64.dll.a).

# Windows Sockets 1.1, the user library (message box), and Schannel with
# the certificate functions for TLS; the kernel comes by default.
target_link_libraries(kel32_core PUBLIC wsock32 user32 secur32 crypt32)
target_link_libraries(kel32 PRIVATE wsock32 user32 secur32 crypt32)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KEL_DLL_NAME KEL64)
else()
  set(KEL_DLL_NAME KEL32)
endif()
set_target_properties(kel32 PROPERTIES OUTPUT_NAME ${KEL_DLL_NAME} PREFIX "")
# The compiler's run-time libraries go into the DLL, so it needs only
# system DLLs.
target_link_options(kel32 PRIVATE -static-libgcc -static-libstdc++)

if(KEL_DLL_NAME STREQUAL KEL32)
  target_sources(kel32 PRIVATE ${PROJECT_SOURCE_DIR}/src/KEL32.def)
  # --kill-at: the export names lose the stdcall "@n" decoration, while the
  # import library still resolves the decorated names a C caller compiles to.
  target_link_options(kel32 PRIVATE -Wl,--kill-at)
  # The linker's own import library would name the undecorated symbols; the
  # one made from the .def keeps the decorated symbols a stdcall caller
  # refers to, each bound to its plain export name.
  find_program(KEL_DLLTOOL NAMES ${KEL_MINGW_PREFIX}-dlltool dlltool REQUIRED)
  add_custom_command(TARGET kel32 POST_BUILD
    COMMAND ${KEL_DLLTOOL} --kill-at --input-def ${PROJECT_SOURCE_DIR}/src/KEL32.def
            --dllname KEL32.dll --output-lib $<TARGET_LINKER_FILE:kel32>
    VERBATIM)
else()
  # x86_64 has one calling convention and no name decoration: the list of
  # src/KEL32.def without the "@n" suffixes, under the DLL's own name. The
  # linker's import library then names the same plain symbols.
  file(READ ${PROJECT_SOURCE_DIR}/src/KEL32.def KEL_DEF)
  string(REGEX REPLACE "@[0-9]+" "" KEL_DEF "${KEL_DEF}")
  string(REPLACE "LIBRARY KEL32.dll" "LIBRARY KEL64.dll" KEL_DEF "${KEL_DEF}")
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/KEL64.def CONTENT "${KEL_DEF}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/KEL32.def)
  target_sources(kel32 PRIVATE ${CMAKE_BINARY_DIR}/KEL64.def)
endif()

if(KEL_BUILD_TESTS)
  enable_testing()
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/windows ${CMAKE_BINARY_DIR}/tests/windows)
endif()
