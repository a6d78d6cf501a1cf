# Windows zip: cd BUILD && cpack -G ZIP
# The program with exactly the Qt libraries, plugins and MinGW runtime it
# loads, laid out as windeployqt would, so it starts from any folder.

foreach(_module Core Gui Widgets Network)
  install(FILES $<TARGET_FILE:Qt6::${_module}> DESTINATION .)
endforeach()
# Qt looks for plugins in folders named by kind beside the program.
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
# Qt 6.7 renamed the native style plugin: it now holds the windowsvista and
# windows11 styles.
if(TARGET Qt6::QModernWindowsStylePlugin)
  install(FILES $<TARGET_FILE:Qt6::QModernWindowsStylePlugin> DESTINATION styles)
else()
  install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)
endif()
# The window icon is an .ico in the program's resources.
install(FILES $<TARGET_FILE:Qt6::QICOPlugin> DESTINATION imageformats)

if(MINGW)
  foreach(_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
                    OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
      message(FATAL_ERROR "The MinGW runtime ${_dll} was not found (${_path}).")
    endif()
    install(FILES ${_path} DESTINATION .)
    # Shipped with their debugging symbols: libstdc++ alone is 23 MB.
    if(CMAKE_STRIP)
      install(CODE "execute_process(COMMAND ${CMAKE_STRIP} --strip-unneeded
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${_dll}\")")
    endif()
  endforeach()
endif()

set(CPACK_PACKAGE_NAME vantrel-speedtest)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "${VANTREL_PUBLISHER}")
set(CPACK_SYSTEM_NAME win64)
set(CPACK_GENERATOR ZIP)
set(CPACK_STRIP_FILES ON)
include(CPack)
