# Wheels for older hosts: the module carries its own copy of libstdc++, so it
# needs no GLIBCXX/CXXABI version from the host, and hides that copy so it never
# clashes with the host's libstdc++ loaded by another module. libgcc_s stays
# shared: every Linux host has it, and its unwinder is the one the host's
# glibc was built to work with.
function(plim_static_runtime target)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/compat/old_glibc.cpp)
  # Section GC drops the parts of libstdc++ the module never reaches
  # (std::random_device and its arc4random/getentropy, for one).
  target_link_options(${target} PRIVATE
    -static-libstdc++
    -Wl,--exclude-libs,ALL -Wl,--gc-sections
    -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/module.map)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/module.map)
endfunction()
