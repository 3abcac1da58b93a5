# An external project's build folder remembers its source folder, and one
# configured from another (a tree from before the packer and the benchmark
# moved) refuses to configure again. Such a folder and its stamps are
# started anew, so that an existing build tree keeps building.
function(zentrova_forget_other_source binary_dir source_dir prefix_dir)
  if(NOT EXISTS ${binary_dir}/CMakeCache.txt)
    return()
  endif()
  file(STRINGS ${binary_dir}/CMakeCache.txt _home REGEX "^CMAKE_HOME_DIRECTORY:")
  if(NOT _home STREQUAL "CMAKE_HOME_DIRECTORY:INTERNAL=${source_dir}")
    file(REMOVE_RECURSE ${binary_dir} ${prefix_dir})
  endif()
endfunction()
