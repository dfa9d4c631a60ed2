# Windows: KEL32.dll with every function exported under its plain name
# (src/KEL32.def), its import library libKEL32.dll.a, and the tests run
# under Wine (tests/windows).

# Windows Sockets 1.1, the user library (message box), and Schannel with
# the certificate functions for TLS; the kernel comes by default.
target_link_libraries(kel32_core PUBLIC wsock32 user32 secur32 crypt32)
target_link_libraries(kel32 PRIVATE wsock32 user32 secur32 crypt32)

target_sources(kel32 PRIVATE ${PROJECT_SOURCE_DIR}/src/KEL32.def)
set_target_properties(kel32 PROPERTIES OUTPUT_NAME KEL32 PREFIX "")
# --kill-at: the export names lose the stdcall "@n" decoration, while the
# import library still resolves the decorated names a C caller compiles to.
# The compiler's run-time libraries go into the DLL, so it needs only
# system DLLs.
target_link_options(kel32 PRIVATE -Wl,--kill-at -static-libgcc -static-libstdc++)
# The linker's own import library would name the undecorated symbols; the
# one made from the .def keeps the decorated symbols a stdcall caller
# refers to, each bound to its plain export name.
find_program(KEL_DLLTOOL NAMES ${KEL_MINGW_PREFIX}-dlltool dlltool REQUIRED)
add_custom_command(TARGET kel32 POST_BUILD
  COMMAND ${KEL_DLLTOOL} --kill-at --input-def ${PROJECT_SOURCE_DIR}/src/KEL32.def
          --dllname KEL32.dll --output-lib $<TARGET_LINKER_FILE:kel32>
  VERBATIM)

if(KEL_BUILD_TESTS)
  enable_testing()
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/windows ${CMAKE_BINARY_DIR}/tests/windows)
endif()
