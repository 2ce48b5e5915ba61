# kx_windows_resources(<target> <resource script> <manifest>): the icon, version record and
# manifest of a Windows executable. MSVC's link step embeds a manifest listed as a source
# and would refuse a second one from the script; MinGW's link step ignores such a source,
# so there the script embeds the manifest itself (KX_RC_EMBED_MANIFEST).
function(kx_windows_resources target script manifest)
  if(NOT WIN32)
    return()
  endif()
  get_filename_component(folder ${script} DIRECTORY)
  set_property(SOURCE ${script} APPEND PROPERTY INCLUDE_DIRECTORIES ${folder})
  target_sources(${target} PRIVATE ${script})
  if(MSVC)
    target_sources(${target} PRIVATE ${manifest})
  else()
    set_property(SOURCE ${script} APPEND PROPERTY COMPILE_DEFINITIONS KX_RC_EMBED_MANIFEST)
  endif()
endfunction()
