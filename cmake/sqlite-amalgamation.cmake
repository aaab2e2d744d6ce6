# SQLite for a build that has no SQLite of the system's (the Windows cross build): compiled in
# from the official amalgamation, under the name find_package(SQLite3) gives, SQLite::SQLite3.
#
# The amalgamation comes inside a package of the npm registry's, the one reachable source of it
# here: better-sqlite3 12.4.1 carries SQLite 3.50.4 in deps/sqlite3/. The archive is downloaded
# once, checked against its SHA-256, and only sqlite3.c and sqlite3.h are taken out of it. A build
# without the network points KORVEL_DOWNLOAD_DIR at a folder holding the archive already.
set(KORVEL_DOWNLOAD_DIR ${CMAKE_BINARY_DIR}/_downloads
    CACHE PATH "Where third-party archives are downloaded to, or found when already there")

set(korvel_sqlite_version 3.50.4)
set(korvel_sqlite_archive better-sqlite3-12.4.1.tgz)
set(korvel_sqlite_url https://registry.npmjs.org/better-sqlite3/-/${korvel_sqlite_archive})
set(korvel_sqlite_sha256 14398acbf00d1e8fe0a2753df7d4f15c13138e4b874f4e6e96791f65b4536d0d)

set(korvel_sqlite_file ${KORVEL_DOWNLOAD_DIR}/${korvel_sqlite_archive})
if(EXISTS ${korvel_sqlite_file})
  file(SHA256 ${korvel_sqlite_file} korvel_sqlite_found)
  if(NOT korvel_sqlite_found STREQUAL korvel_sqlite_sha256)
    message(FATAL_ERROR "${korvel_sqlite_file} is not the expected archive (SHA-256 "
                        "${korvel_sqlite_found}, expected ${korvel_sqlite_sha256}): delete it to "
                        "have it downloaded again")
  endif()
else()
  message(STATUS "Downloading SQLite ${korvel_sqlite_version} (${korvel_sqlite_url})")
  file(DOWNLOAD ${korvel_sqlite_url} ${korvel_sqlite_file}.part
       EXPECTED_HASH SHA256=${korvel_sqlite_sha256} STATUS korvel_sqlite_status TLS_VERIFY ON)
  list(GET korvel_sqlite_status 0 korvel_sqlite_code)
  if(NOT korvel_sqlite_code EQUAL 0)
    file(REMOVE ${korvel_sqlite_file}.part)
    list(GET korvel_sqlite_status 1 korvel_sqlite_why)
    message(FATAL_ERROR "cannot download ${korvel_sqlite_url} (${korvel_sqlite_why}): put "
                        "${korvel_sqlite_archive} into ${KORVEL_DOWNLOAD_DIR}, or set "
                        "KORVEL_DOWNLOAD_DIR to a folder that holds it")
  endif()
  # Renamed once whole and checked: an interrupted download is never taken for the archive.
  file(RENAME ${korvel_sqlite_file}.part ${korvel_sqlite_file})
endif()

set(korvel_sqlite_dir ${CMAKE_BINARY_DIR}/_deps/sqlite-${korvel_sqlite_version})
if(NOT EXISTS ${korvel_sqlite_dir}/sqlite3.c OR NOT EXISTS ${korvel_sqlite_dir}/sqlite3.h)
  file(ARCHIVE_EXTRACT INPUT ${korvel_sqlite_file} DESTINATION ${korvel_sqlite_dir}/unpacked
       PATTERNS package/deps/sqlite3/sqlite3.c package/deps/sqlite3/sqlite3.h)
  foreach(name sqlite3.c sqlite3.h)
    file(RENAME ${korvel_sqlite_dir}/unpacked/package/deps/sqlite3/${name}
         ${korvel_sqlite_dir}/${name})
  endforeach()
  file(REMOVE_RECURSE ${korvel_sqlite_dir}/unpacked)
endif()

add_library(korvel_sqlite3 STATIC ${korvel_sqlite_dir}/sqlite3.c)
target_include_directories(korvel_sqlite3 SYSTEM PUBLIC ${korvel_sqlite_dir})
target_compile_definitions(
  korvel_sqlite3
  PRIVATE SQLITE_THREADSAFE=1             # connections may be used from several threads
          SQLITE_DQS=0                    # "text" is a name, never a string
          SQLITE_OMIT_LOAD_EXTENSION      # no code is loaded from a database's say-so
          SQLITE_OMIT_DEPRECATED
          SQLITE_DEFAULT_MEMSTATUS=0      # no memory accounting on every allocation
          SQLITE_LIKE_DOESNT_MATCH_BLOBS
          SQLITE_USE_ALLOCA
          SQLITE_WIN32_NO_ANSI)           # file names reach Windows as UTF-16 only
# Its own code, not ours: its warnings are not this project's errors.
target_compile_options(korvel_sqlite3 PRIVATE -w)
set_target_properties(korvel_sqlite3 PROPERTIES C_VISIBILITY_PRESET hidden)
add_library(SQLite::SQLite3 ALIAS korvel_sqlite3)
