cmake_minimum_required(VERSION 3.21)
# Configure refuses a list of the disc's files that does not hold together, naming the line,
# and a digest that disagrees with the list. Run by ctest: cmake -DSOURCE=... -DWORK=... -P.
set(good "bc8aa6ade55140eb5ac30af2c3ee3fcd8c112487c973dec281a84eccbd42f2a2 1052897 default.xbe")
set(hash "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855")
# Each case: a name, the list's lines ("|" between them), an extra argument, the words
# configure must print.
set(cases
  "malformed|${good}|${hash} twelve maps/a.map||malformed.manifest:2: not"
  "short digest|${good}|abc 1 maps/a.map||the digest is not 64"
  "duplicate|${good}|${hash} 0 maps/A.map|${hash} 0 MAPS/a.map||is listed twice"
  "unsafe name|${good}|${hash} 0 maps/../a.map||an empty, \".\" or \"..\" component"
  "device name|${good}|${hash} 0 media/nul.txt||a device name"
  "outside|${good}|${hash} 0 readme.txt||is neither default.xbe nor inside"
  "no executable|${hash} 0 maps/a.map||no default.xbe line"
  "disagreeing digest|${good}|-DQUILLMOOR_XBE_SHA256=${hash}|name different builds")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(failed 0)
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(POP_FRONT fields what)
  list(POP_BACK fields want)
  set(extra "")
  list(GET fields -1 last)
  if(last MATCHES "^-D")
    list(POP_BACK fields extra)
  endif()
  string(REPLACE " " "" file_name "${what}")
  set(list_file "${WORK}/${file_name}.manifest")
  if(what STREQUAL "malformed")
    set(list_file "${WORK}/malformed.manifest")
  endif()
  string(REPLACE ";" "\n" text "${fields}")
  file(WRITE "${list_file}" "${text}\n")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S "${SOURCE}" -B "${WORK}/build-${file_name}" -G Ninja
            -DQM_BUILD_TESTS=OFF -DQM_BUILD_TOOLS=OFF -DQUILLMOOR_MANIFEST=${list_file} ${extra}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  # CMake wraps its messages: compare with the lines joined.
  string(REGEX REPLACE "[ \n]+" " " said "${out}${err}")
  string(FIND "${said}" "${want}" at)
  if(status EQUAL 0 OR at EQUAL -1)
    message(SEND_ERROR "${what}: configure gave ${status} without \"${want}\":\n${err}")
    set(failed 1)
  endif()
endforeach()
# A list that holds together configures.
file(WRITE "${WORK}/good.manifest" "# a comment\n\n${good}\n${hash}\t0\tmaps/a b.map\n")
execute_process(
  COMMAND ${CMAKE_COMMAND} -S "${SOURCE}" -B "${WORK}/build-good" -G Ninja -DQM_BUILD_TESTS=OFF
          -DQM_BUILD_TOOLS=OFF -DQUILLMOOR_MANIFEST=${WORK}/good.manifest
  RESULT_VARIABLE status ERROR_VARIABLE err OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(SEND_ERROR "a good list was refused:\n${err}")
endif()
file(REMOVE_RECURSE "${WORK}")
