# Start-up of the programs. A program loads its shared libraries and
# resolves their symbols before main(); the C++ runtime (libstdc++, with
# libgcc_s and libm) and the XML library are the part of that work that is
# cheap to drop: the programs carry them inside instead. Only the programs,
# and only in the plain optimised build: test and sandbox binaries also link
# the HTTP server library, itself built against the shared C++ runtime, and
# the sanitizers bring runtimes of their own.
function(qvn_fast_startup)
  if(QVN_SANITIZE OR QVN_TSAN OR QVN_FUZZ)
    return()
  endif()
  # The XML library from its archive, for every target: it is C++ built
  # against the same runtime, so the binaries that keep the shared runtime
  # are none the worse.
  find_library(QVN_PUGIXML_ARCHIVE NAMES libpugixml.a)
  if(QVN_PUGIXML_ARCHIVE AND TARGET PkgConfig::PUGIXML)
    set_property(TARGET PkgConfig::PUGIXML PROPERTY INTERFACE_LINK_LIBRARIES "${QVN_PUGIXML_ARCHIVE}")
  endif()
  foreach(program IN LISTS ARGN)
    if(TARGET ${program})
      target_link_options(${program} PRIVATE -static-libstdc++ -static-libgcc -Wl,--as-needed -Wl,-O1)
    endif()
  endforeach()
endfunction()
