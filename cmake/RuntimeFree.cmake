# Settings for an executable that brings its own entry point and uses no C
# runtime, so that it imports nothing beyond the system libraries it calls.

# Included per folder: only the libraries that target_link_libraries names,
# not CMake's default list of Windows libraries.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

function(make_runtime_free target entry)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:
    -Os
    -Wall -Wextra -Wconversion -Werror
    -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables -fno-unwind-tables
    -fno-threadsafe-statics
    -fno-stack-protector
    # No runtime to call into: no stack probes, and no loops turned into
    # memcpy/memset calls (the link fails if any slip through).
    -mno-stack-arg-probe
    $<IF:$<CXX_COMPILER_ID:GNU>,-fno-tree-loop-distribute-patterns,-fno-builtin>
    -ffunction-sections -fdata-sections>)
  target_link_options(${target} PRIVATE
    -nostdlib -nostartfiles
    -Wl,--entry=_${entry}
    -Wl,--gc-sections
    -Wl,--no-insert-timestamp
    # The image a security review expects, the same from either linker:
    # randomisable with its relocations kept, data never executable, no
    # exception handlers at all (so no SafeSEH table is needed), no Terminal
    # Services shims, and the usual 1 MiB stack (the program uses a few
    # hundred bytes of it).
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--no-seh -Wl,--tsaware
    -Wl,--stack,1048576
    # Subsystem 4.0, GNU ld's default, LLD's would be 6.0: nothing in the
    # header stops a Windows older than Vista from loading the program.
    -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0
    -s)
endfunction()
