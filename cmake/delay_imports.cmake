# Delay-import libraries for the Windows build.
#
# Windows takes the DLLs on its KnownDLLs list from the system folder whatever the search order;
# any other DLL named in the import table is looked for beside the program first. The launcher is
# typically started from the user's Downloads folder, where a file of such a name may lie, so the
# libraries that are not known DLLs are delay-loaded instead: the linker resolves their functions
# against a delay-import library, and the first call loads the DLL through the delay-load helper,
# whose notification hook (core/system_libraries_win32.cpp) loads it from the system folder only.
#
# delay_import_libraries(<out-var> <name>...) writes lib<name>-delay.a for each system library
# <name> (wininet, crypt32, ...) and sets <out-var> to their paths. The export list comes from the
# MinGW-w64 sysroot's import library lib<name>.a: every function it imports (a code thunk beside
# its __imp_ pointer), so that the list never drifts from the headers the code compiles against.
function(delay_import_libraries out)
  if(NOT CMAKE_NM OR NOT CMAKE_DLLTOOL)
    message(FATAL_ERROR "delay-import libraries need the toolchain's nm and dlltool")
  endif()
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(machine i386)
  else()
    set(machine i386:x86-64)
  endif()
  set(folder ${CMAKE_BINARY_DIR}/delay-imports)
  file(MAKE_DIRECTORY ${folder})
  set(result)
  foreach(name IN LISTS ARGN)
    find_library(DELAY_IMPORT_SOURCE_${name} NAMES lib${name}.a ${name} REQUIRED NO_CACHE)
    set(source ${DELAY_IMPORT_SOURCE_${name}})
    set(library ${folder}/lib${name}-delay.a)
    # Rebuilt only when the sysroot's import library changes.
    if(NOT EXISTS ${library} OR ${source} IS_NEWER_THAN ${library})
      execute_process(COMMAND ${CMAKE_NM} -g ${source} OUTPUT_VARIABLE symbols
                      RESULT_VARIABLE status ERROR_QUIET)
      if(NOT status EQUAL 0)
        message(FATAL_ERROR "cannot list the symbols of ${source}")
      endif()
      string(REPLACE "\n" ";" lines "${symbols}")
      set(thunks)
      set(pointers)
      foreach(line IN LISTS lines)
        if(line MATCHES "^[0-9a-fA-F]+ T (.+)$")
          list(APPEND thunks "${CMAKE_MATCH_1}")
        elseif(line MATCHES "^[0-9a-fA-F]+ I __imp_(.+)$")
          list(APPEND pointers "${CMAKE_MATCH_1}")
        endif()
      endforeach()
      # Data exports have no thunk and cannot be delay-loaded; they are left out.
      list(REMOVE_DUPLICATES thunks)
      set(exports)
      foreach(symbol IN LISTS thunks)
        if(NOT symbol IN_LIST pointers)
          continue()
        endif()
        # 32-bit C names carry a leading underscore that the .def form leaves out.
        if(machine STREQUAL "i386")
          if(NOT symbol MATCHES "^_(.+)$")
            continue()
          endif()
          set(symbol "${CMAKE_MATCH_1}")
        endif()
        string(APPEND exports "  ${symbol}\n")
      endforeach()
      if(exports STREQUAL "")
        message(FATAL_ERROR "${source} imports no functions")
      endif()
      set(definition ${folder}/${name}.def)
      file(WRITE ${definition} "LIBRARY ${name}.dll\nEXPORTS\n${exports}")
      # --kill-at: the DLLs export the 32-bit stdcall functions without their @<bytes> suffix.
      execute_process(COMMAND ${CMAKE_DLLTOOL} --machine ${machine} --kill-at
                              --input-def ${definition} --dllname ${name}.dll
                              --output-delaylib ${library}
                      WORKING_DIRECTORY ${folder} RESULT_VARIABLE status ERROR_VARIABLE errors)
      if(NOT status EQUAL 0)
        file(REMOVE ${library})
        message(FATAL_ERROR "dlltool cannot make the delay-import library of ${name}: ${errors}")
      endif()
    endif()
    list(APPEND result ${library})
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()
