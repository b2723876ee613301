# Run by the install step: writes SHA256SUMS, in the form `sha256sum -c` reads,
# over the installed files named in LUMARO_SUMMED_FILES.
set(folder "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(sums "")
foreach(name IN LISTS LUMARO_SUMMED_FILES)
  file(SHA256 "${folder}/${name}" hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${folder}/SHA256SUMS" "${sums}")
