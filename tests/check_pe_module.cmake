# Reads a Windows DLL's tables with `objdump -p`.
#   CHECK=exports: the export table must hold exactly the names of the exports list,
#                  undecorated (no C++ mangling, no @N suffixes), and nothing else.
#   CHECK=imports: every imported DLL must be a Windows system DLL; a C or C++ runtime
#                  or a library DLL beside the module would have to ship with it.
# Arguments: -DOBJDUMP=... -DMODULE=... -DCHECK=exports|imports [-DEXPORTS=list file]
#            [-DALSO_SYSTEM=name;...: system DLLs this binary may import beyond the list
#            below, e.g. winhttp for qvdbx.exe; never for the module]
execute_process(COMMAND ${OBJDUMP} -p ${MODULE}
                OUTPUT_VARIABLE dump ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -p failed on ${MODULE}: ${err}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${dump}")

if(CHECK STREQUAL "exports")
  # Lines of the name pointer table look like "\t[   3] qvdbx_list".
  set(exported "")
  set(in_table FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(in_table TRUE)
    elseif(in_table AND line MATCHES "^[ \t]+\\[ *[0-9]+\\] (.+)$")
      list(APPEND exported "${CMAKE_MATCH_1}")
    elseif(in_table)
      set(in_table FALSE)
    endif()
  endforeach()
  file(STRINGS ${EXPORTS} expected)
  list(SORT exported)
  list(SORT expected)
  # C++ mangling (_Z...) or the @ and ? of Windows decorations.
  set(decorated ${exported})
  list(FILTER decorated INCLUDE REGEX "^_Z|[@?]")
  if(decorated OR NOT exported STREQUAL expected)
    set(extra ${exported})
    if(expected)
      list(REMOVE_ITEM extra ${expected})
    endif()
    set(missing ${expected})
    if(exported)
      list(REMOVE_ITEM missing ${exported})
    endif()
    message(FATAL_ERROR "DLL exports differ from the list\n"
                        "  extra: ${extra}\n  missing: ${missing}\n  decorated: ${decorated}")
  endif()
  list(LENGTH exported n)
  message(STATUS "DLL exports exactly the ${n} listed names, undecorated")
elseif(CHECK STREQUAL "imports")
  set(imports "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*DLL Name: (.+)$")
      list(APPEND imports "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  if(NOT imports)
    message(FATAL_ERROR "no import table found in ${MODULE}")
  endif()
  # What every Windows installation has; the C runtime only as Windows' own msvcrt.dll
  # or the Universal CRT.
  string(CONCAT system_dll "^(kernel32|kernelbase|ntdll|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+"
                           "|advapi32|user32|bcrypt|ws2_32|shell32|ole32")
  foreach(dll IN LISTS ALSO_SYSTEM)
    string(APPEND system_dll "|${dll}")
  endforeach()
  string(APPEND system_dll ")\\.dll$")
  set(foreign "")
  foreach(dll IN LISTS imports)
    string(TOLOWER "${dll}" lower)
    if(NOT lower MATCHES "${system_dll}")
      list(APPEND foreign "${dll}")
    endif()
  endforeach()
  if(foreign)
    message(FATAL_ERROR "DLL imports non-system DLLs: ${foreign}\n  all imports: ${imports}")
  endif()
  message(STATUS "DLL imports only Windows system DLLs: ${imports}")
else()
  message(FATAL_ERROR "CHECK must be exports or imports")
endif()
