# Writes SHA256SUMS for the given files, in the format sha256sum -c reads.
# Usage: cmake -DOUTPUT=path -DFILES="a;b" -P write-checksums.cmake
set(sums "")
foreach(file IN LISTS FILES)
  file(SHA256 "${file}" hash)
  get_filename_component(name "${file}" NAME)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${OUTPUT}" "${sums}")
