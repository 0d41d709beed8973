# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a file of the OPC UA wing includes a header of a room above
# its own. The rooms, bottom to top: wire, security, client, bridge.
#   cmake -DROOT=<src folder> -P CheckLayers.cmake
if(NOT ROOT)
  message(FATAL_ERROR "CheckLayers: pass -DROOT=<src folder>")
endif()

get_filename_component(ROOT "${ROOT}" ABSOLUTE)
set(rooms wire security client bridge)

# The rank a header of the project stands at, or 99 for one no room may
# include. wire names nothing of the program; the error numbers, the
# certificate facts and the wait are below every other room; the
# automation interface and its values are the bridge's alone.
function(rank_of header out)
  foreach(room IN LISTS rooms)
    if(header MATCHES "^opc/ua/${room}/")
      list(FIND rooms ${room} rank)
      set(${out} ${rank} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  if(header MATCHES "^opc/(errors|certificate|wait)\\.h$")
    set(${out} 1 PARENT_SCOPE)
  elseif(header MATCHES "^opc/(automation|value)\\.h$")
    set(${out} 3 PARENT_SCOPE)
  else()
    set(${out} 99 PARENT_SCOPE)
  endif()
endfunction()

set(faults 0)
foreach(room IN LISTS rooms)
  list(FIND rooms ${room} own)
  file(GLOB_RECURSE files "${ROOT}/opc/ua/${room}/*.h" "${ROOT}/opc/ua/${room}/*.cpp")
  foreach(file IN LISTS files)
    file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
    foreach(line IN LISTS lines)
      if(line MATCHES "#[ \t]*include[ \t]*\"([^\"]+)\"")
        set(header ${CMAKE_MATCH_1})
        if(header MATCHES "\\.moc$")
          continue()
        endif()
        rank_of("${header}" rank)
      elseif(line MATCHES "#[ \t]*include[ \t]*<openssl/" AND own EQUAL 0)
        set(header "<openssl/...>")
        set(rank 99)
      else()
        continue()
      endif()
      if(rank GREATER own)
        file(RELATIVE_PATH name "${ROOT}" "${file}")
        message("${name}: ${header} lies above the ${room} room")
        math(EXPR faults "${faults} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()

if(faults GREATER 0)
  message(FATAL_ERROR "${faults} include(s) point upward")
endif()
message("The OPC UA rooms include only what lies below them.")
