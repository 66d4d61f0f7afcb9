# Packs the project's pages and the pictures they show into one zip archive,
# with the folders they link across, so that every link in them works once
# it is unpacked; a release page then holds it as one flat file. Its bytes
# depend on the pages alone: the files go in a fixed order, each with the
# same time stamps (SOURCE_DATE_EPOCH, read in UTC) and mode.
# Usage: cmake -DSOURCE=project-folder -DOUTPUT=archive.zip -P pack-pages.cmake
set(epoch 1767225600)  # 2026-01-01 00:00:00 UTC
# The install prefix may be relative to the folder the install runs in.
get_filename_component(OUTPUT "${OUTPUT}" ABSOLUTE)
file(GLOB pages RELATIVE "${SOURCE}" "${SOURCE}/*.md" "${SOURCE}/LICENSE" "${SOURCE}/docs/*.md" "${SOURCE}/docs/*.png")
list(SORT pages)
set(stage "${OUTPUT}.pages")
file(REMOVE_RECURSE "${stage}")
foreach(page IN LISTS pages)
  get_filename_component(folder "${page}" DIRECTORY)
  file(COPY "${SOURCE}/${page}" DESTINATION "${stage}/${folder}"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E env TZ=UTC SOURCE_DATE_EPOCH=${epoch}
    "${CMAKE_COMMAND}" -E tar cf "${OUTPUT}" --format=zip -- ${pages}
  WORKING_DIRECTORY "${stage}"
  COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE "${stage}")
