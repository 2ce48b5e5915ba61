# Where driver libraries and the programs that load them by the plain name go.
#
# The tool loads "libftd2xx.so" through the loader's search on Linux, and "Ftd2xx.dll"
# from its own folder on Windows, where no search path can be pointed elsewhere. So on
# Windows a program that must find one particular driver library is built into that
# library's folder; on Linux the tests point LD_LIBRARY_PATH at the folder instead.

# kx_driver_library(target folder): names `target` as the driver library and puts it in
# `folder` (a DLL is a runtime artifact on Windows; MinGW would prefix it with "lib").
function(kx_driver_library target folder)
  if(WIN32)
    set_target_properties(${target} PROPERTIES
      PREFIX "" OUTPUT_NAME Ftd2xx IMPORT_PREFIX "" IMPORT_SUFFIX ".dll.a"
      RUNTIME_OUTPUT_DIRECTORY ${folder}
      LIBRARY_OUTPUT_DIRECTORY ${folder}
      ARCHIVE_OUTPUT_DIRECTORY ${folder})
  else()
    set_target_properties(${target} PROPERTIES
      OUTPUT_NAME ftd2xx LIBRARY_OUTPUT_DIRECTORY ${folder})
  endif()
endfunction()

# kx_beside_driver(target folder): on Windows, builds the executable `target` into the
# driver library's folder, so that its plain-name load finds that library.
function(kx_beside_driver target folder)
  if(WIN32)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${folder})
  endif()
endfunction()

# The driver library's file name in a folder, as the tests spell it.
if(WIN32)
  set(KX_DRIVER_FILE_NAME Ftd2xx.dll)
else()
  set(KX_DRIVER_FILE_NAME libftd2xx.so)
endif()
