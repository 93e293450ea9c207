# The Windows programs' resources: the version resource from the project
# version, a manifest asking for no elevation and, for the window program,
# the icon. Each program's CMake file calls qv_win32_resources for its exe.
set(QV_WIN32_RES_DIR ${CMAKE_CURRENT_LIST_DIR})

# qv_win32_resources(TARGET BASENAME): BASENAME.rc.in and BASENAME.manifest.in
# of this folder, built into TARGET, whose file is BASENAME.exe.
function(qv_win32_resources target base)
  set(QV_RC_FILENAME ${base}.exe)
  set(QV_RC_DIR ${CMAKE_CURRENT_BINARY_DIR})
  set(QV_RES_DIR ${QV_WIN32_RES_DIR})
  configure_file(${QV_WIN32_RES_DIR}/version.rc.in ${QV_RC_DIR}/${base}-version.rc @ONLY)
  configure_file(${QV_WIN32_RES_DIR}/${base}.manifest.in ${QV_RC_DIR}/${base}.manifest @ONLY)
  configure_file(${QV_WIN32_RES_DIR}/${base}.rc.in ${QV_RC_DIR}/${base}.rc @ONLY)
  set_source_files_properties(${QV_RC_DIR}/${base}.rc PROPERTIES
    OBJECT_DEPENDS "${QV_WIN32_RES_DIR}/quorvaltine.ico;${QV_RC_DIR}/${base}.manifest;${QV_RC_DIR}/${base}-version.rc")
  target_sources(${target} PRIVATE ${QV_RC_DIR}/${base}.rc)
endfunction()
