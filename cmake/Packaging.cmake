# Manual pages, bash completions, documents and the Debian package for the
# programs in TARVO_PROGRAMS. scripts/package drives it; the Windows zip is
# assembled there from the windows preset's install.
if(WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()

set(TARVO_SUMMARY "maintenance tool for a camera-lens mount adapter")
set(tarvo_SUMMARY "${TARVO_SUMMARY}")

set(man_dir ${PROJECT_BINARY_DIR}/man/man1)
set(completion_dir ${PROJECT_BINARY_DIR}/completions)
file(MAKE_DIRECTORY ${man_dir} ${completion_dir})

# Both are made from the built program's --help, so they follow its help text
# whenever the program changes.
set(generated)
foreach(program ${TARVO_PROGRAMS})
  # A program's summary is the first line of its main.cpp: "// NAME: what it does."
  set(summary "${${program}_SUMMARY}")
  set(main ${PROJECT_SOURCE_DIR}/tools/${program}/main.cpp)
  if(NOT summary AND EXISTS ${main})
    file(STRINGS ${main} first LIMIT_COUNT 1)
    if(first MATCHES "^// ${program}: (.+)$")
      string(REGEX REPLACE "\\.$" "" summary "${CMAKE_MATCH_1}")
    endif()
  endif()
  if(NOT summary)
    set(summary "part of tarvo, the ${TARVO_SUMMARY}")
  endif()
  # The page's other sections live beside the program's main.cpp. Globbed, so
  # that a section file added later is picked up; a missing one still makes a
  # page, and scripts/docs-check fails on it.
  if(program STREQUAL "tarvo")
    set(sections ${PROJECT_SOURCE_DIR}/src/man.sections)
  else()
    set(sections ${PROJECT_SOURCE_DIR}/tools/${program}/man.sections)
  endif()
  get_filename_component(sections_dir ${sections} DIRECTORY)
  file(GLOB sections_found CONFIGURE_DEPENDS ${sections_dir}/man.sections)
  if(NOT sections_found)
    message(WARNING "${sections} is missing: the manual page of ${program} will lack "
                    "DESCRIPTION, EXIT STATUS, FILES and EXAMPLES")
  endif()

  set(others ${TARVO_PROGRAMS})
  list(REMOVE_ITEM others ${program})
  list(JOIN others " " others)

  add_custom_command(
    OUTPUT ${man_dir}/${program}.1.gz ${completion_dir}/${program}
    COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/help2man.sh $<TARGET_FILE:${program}> ${program}
            ${PROJECT_VERSION} "${summary}" "${others}" ${sections} ${man_dir}/${program}.1
    COMMAND gzip -9nf ${man_dir}/${program}.1
    COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/help2completion.sh $<TARGET_FILE:${program}>
            ${program} ${completion_dir}/${program}
    DEPENDS ${program} ${PROJECT_SOURCE_DIR}/cmake/help2man.sh
            ${PROJECT_SOURCE_DIR}/cmake/help2completion.sh ${sections_found}
    COMMENT "Manual page and completion of ${program}"
    VERBATIM)
  list(APPEND generated ${man_dir}/${program}.1.gz ${completion_dir}/${program})
  list(APPEND program_list "${program} (${summary})")
  install(FILES ${man_dir}/${program}.1.gz DESTINATION share/man/man1)
  install(FILES ${completion_dir}/${program} DESTINATION share/bash-completion/completions)
endforeach()

# Debian keeps a native package's history as changelog.gz in its documents.
# Dated by the day (or SOURCE_DATE_EPOCH), so configuring again changes nothing.
string(TIMESTAMP changelog_date "%a, %d %b %Y 00:00:00 +0000" UTC)
set(TARVO_MAINTAINER "The tarvo developers <tarvo@example.org>")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/changelog CONTENT
  "tarvo (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${TARVO_MAINTAINER}  ${changelog_date}
")
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9nkf ${PROJECT_BINARY_DIR}/changelog
  DEPENDS ${PROJECT_BINARY_DIR}/changelog
  VERBATIM)
list(APPEND generated ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_target(tarvo_docs ALL DEPENDS ${generated})
# The pages and completions as built: every program has its sections, and
# OPTIONS is what its --help makes now.
if(TARVO_BUILD_TESTS)
  add_test(NAME DocsCheck
           COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/docs-check ${man_dir} ${completion_dir}
                   $<TARGET_FILE_DIR:tarvo>)
endif()

install(FILES README.md ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION share/doc/tarvo)
install(FILES LICENSE DESTINATION share/doc/tarvo RENAME copyright)

set(CPACK_PACKAGE_NAME tarvo)
set(CPACK_PACKAGE_VENDOR "The tarvo developers")
set(CPACK_PACKAGE_CONTACT "${TARVO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${TARVO_SUMMARY}")
# The summary is the synopsis line; this is the text under it.
list(JOIN program_list ",\n" program_list)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tarvo shows the adapter's versions, saves and restores its settings, installs
firmware and power-cycles it, over the adapter's USB virtual serial port or a
plain UART. The programs:\n${program_list}.")
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The completions do nothing without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
