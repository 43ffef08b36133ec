# Writes the static site into OUTPUT (run with cmake -P by the target
# snt_web): the page's files from SOURCE, the module (MODULE: snt.js and
# snt.wasm beside it), the chip image (IMAGE, as snt-fw.elf) and Chart.js
# (CHART); then site.json, and sw.js with the site's version (a hash of
# every file) and the list of files it keeps for offline use. Fails when
# the site is larger than MAX_BYTES.
file(REMOVE_RECURSE "${OUTPUT}")
file(MAKE_DIRECTORY "${OUTPUT}/js")

file(GLOB pages RELATIVE "${SOURCE}" "${SOURCE}/*.html" "${SOURCE}/*.css" "${SOURCE}/*.svg" "${SOURCE}/*.webmanifest"
     "${SOURCE}/js/*.js")
set(files "")
foreach(f IN LISTS pages)
  configure_file("${SOURCE}/${f}" "${OUTPUT}/${f}" COPYONLY)
  list(APPEND files "${f}")
endforeach()
get_filename_component(module_dir "${MODULE}" DIRECTORY)
get_filename_component(module_name "${MODULE}" NAME_WE)
foreach(pair "${module_dir}/${module_name}.js|snt.js" "${module_dir}/${module_name}.wasm|snt.wasm" "${IMAGE}|snt-fw.elf"
             "${CHART}|chart.min.js")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 from)
  list(GET pair 1 to)
  if(NOT EXISTS "${from}")
    message(FATAL_ERROR "the site needs ${from} (make chip builds the chip image)")
  endif()
  configure_file("${from}" "${OUTPUT}/${to}" COPYONLY)
  list(APPEND files "${to}")
endforeach()

# The version: a hash of every file's name and content.
list(SORT files)
set(hashes "")
foreach(f IN LISTS files)
  file(SHA256 "${OUTPUT}/${f}" h)
  string(APPEND hashes "${f} ${h}\n")
endforeach()
string(SHA256 version "${hashes}")
string(SUBSTRING "${version}" 0 16 version)
file(WRITE "${OUTPUT}/site.json" "{\"server\": false, \"version\": \"${version}\", \"image\": \"snt-fw.elf\"}\n")
list(APPEND files "site.json")

set(cached "\"./\"")
foreach(f IN LISTS files)
  string(APPEND cached ", \"${f}\"")
endforeach()
file(READ "${SOURCE}/sw.js" sw)
string(REPLACE "@SNT_SITE_VERSION@" "${version}" sw "${sw}")
string(REPLACE "@SNT_SITE_FILES@" "[${cached}]" sw "${sw}")
file(WRITE "${OUTPUT}/sw.js" "${sw}")

set(total 0)
file(GLOB_RECURSE all "${OUTPUT}/*")
foreach(f IN LISTS all)
  file(SIZE "${f}" size)
  math(EXPR total "${total} + ${size}")
endforeach()
if(total GREATER MAX_BYTES)
  message(FATAL_ERROR "the site is ${total} bytes, more than ${MAX_BYTES}")
endif()
message(STATUS "the static site: ${total} bytes in ${OUTPUT}, version ${version}")
