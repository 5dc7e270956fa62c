# Checks the include rule of the parts of src/tarnwick: a file of a part may
# include its own part's headers and those of the parts its row names, never
# a part above it. The rules are the table of src/tarnwick/README.md, one row
# a part, from the top down:
#
#   | `suite/` | `report/`, `check/`, `base/` |
#
# A row may name only parts whose rows come below it, so the table itself
# has no cycle. Every folder of src/tarnwick that holds code needs a row.
#
#   cmake -DTARNWICK_SOURCE_DIR=DIR [-DSTAMP=FILE] -P cmake/check_parts.cmake
#
# The build runs it before compiling the core (CMakeLists.txt) and touches
# STAMP when all is well; scripts/lint runs it too. Every file that breaks
# the rule is named, then the script fails.

cmake_minimum_required(VERSION 3.25)

if(NOT TARNWICK_SOURCE_DIR)
  get_filename_component(TARNWICK_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/.."
                         ABSOLUTE)
endif()
set(parts_dir "${TARNWICK_SOURCE_DIR}/src/tarnwick")
set(readme "${parts_dir}/README.md")

# The table: TARNWICK_PARTS in order, and may_include_PART for each.
file(STRINGS "${readme}" rows REGEX "^\\| `[a-z_]+/` \\|")
set(parts)
set(problems)
foreach(row IN LISTS rows)
  if(NOT row MATCHES "^\\| `([a-z_]+)/` \\|(.*)\\|[ ]*$")
    list(APPEND problems "src/tarnwick/README.md: cannot read the row '${row}'")
    continue()
  endif()
  set(part "${CMAKE_MATCH_1}")
  string(REGEX MATCHALL "`[a-z_]+/`" below "${CMAKE_MATCH_2}")
  list(TRANSFORM below REPLACE "^`([a-z_]+)/`$" "\\1")
  if(part IN_LIST parts)
    list(APPEND problems "src/tarnwick/README.md: two rows for ${part}/")
  endif()
  list(APPEND parts "${part}")
  set(may_include_${part} ${below})
endforeach()
if(NOT parts)
  message(FATAL_ERROR "src/tarnwick/README.md: no table of parts (| `part/` | ... |)")
endif()

# Each row names only parts below it, so dependencies point down.
foreach(part IN LISTS parts)
  list(FIND parts "${part}" at)
  foreach(other IN LISTS may_include_${part})
    list(FIND parts "${other}" other_at)
    if(other_at EQUAL -1)
      list(APPEND problems
           "src/tarnwick/README.md: ${part}/ may include ${other}/, which has no row")
    elseif(other_at LESS_EQUAL at)
      list(APPEND problems "src/tarnwick/README.md: ${part}/ may include ${other}/, whose \
row is not below it")
    endif()
  endforeach()
  if(NOT IS_DIRECTORY "${parts_dir}/${part}")
    list(APPEND problems "src/tarnwick/README.md: a row for ${part}/, which is no folder")
  endif()
endforeach()

# Every file of every folder that holds code.
file(GLOB_RECURSE files LIST_DIRECTORIES false
     RELATIVE "${parts_dir}" "${parts_dir}/*.h" "${parts_dir}/*.cc")
foreach(file IN LISTS files)
  if(NOT file MATCHES "^([^/]+)/")
    list(APPEND problems "src/tarnwick/${file}: in no part (a folder of \
src/tarnwick with a row in its README.md)")
    continue()
  endif()
  set(part "${CMAKE_MATCH_1}")
  if(NOT part IN_LIST parts)
    list(APPEND problems "src/tarnwick/${file}: ${part}/ has no row in \
src/tarnwick/README.md")
    continue()
  endif()
  get_filename_component(file_dir "${parts_dir}/${file}" DIRECTORY)
  file(STRINGS "${parts_dir}/${file}" includes
       REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
  foreach(include IN LISTS includes)
    if(include MATCHES "include[ \t]*<tarnwick/([^/>]+)/")
      set(included "${CMAKE_MATCH_1}")
    elseif(include MATCHES "include[ \t]*\"tarnwick/([^/\"]+)/")
      set(included "${CMAKE_MATCH_1}")
    elseif(include MATCHES "include[ \t]*\"([^\"]+)\"")
      # Relative to the including file, as the compiler looks first.
      get_filename_component(path "${CMAKE_MATCH_1}" ABSOLUTE
                             BASE_DIR "${file_dir}")
      string(FIND "${path}" "${parts_dir}/" inside)
      if(NOT inside EQUAL 0)
        list(APPEND problems "src/tarnwick/${file}: '${include}' reaches \
outside src/tarnwick, name a part's header as \"tarnwick/PART/NAME.h\"")
        continue()
      endif()
      file(RELATIVE_PATH path "${parts_dir}" "${path}")
      string(REGEX REPLACE "/.*" "" included "${path}")
    else()
      continue()  # a system header
    endif()
    if(included STREQUAL part OR included IN_LIST may_include_${part})
      continue()
    endif()
    if(NOT included IN_LIST parts)
      list(APPEND problems "src/tarnwick/${file}: '${include}' names \
${included}/, which is no part")
    else()
      list(FIND parts "${part}" at)
      list(FIND parts "${included}" included_at)
      if(included_at LESS at)
        set(why "a part above it")
      else()
        set(why "not in its row")
      endif()
      list(APPEND problems "src/tarnwick/${file}: ${part}/ may not include \
${included}/ (${why} in the table of src/tarnwick/README.md): ${include}")
    endif()
  endforeach()
endforeach()

if(problems)
  # One line each, as a compiler names what it refuses.
  foreach(problem IN LISTS problems)
    message(NOTICE "${problem}")
  endforeach()
  list(LENGTH problems count)
  message(FATAL_ERROR "the include rule of the parts is broken (${count} \
above)")
endif()
if(STAMP)
  file(TOUCH "${STAMP}")
endif()
