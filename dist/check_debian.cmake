# Checks that debian/ agrees with the rest of the project: the version of
# debian/changelog's latest entry is the one project() sets in
# CMakeLists.txt, and debian/control's Build-Depends names the packages of
# build_packages in scripts/packages.sh, the list the set-up scripts install
# (debhelper-compat aside). Run with `cmake -P`; fails saying what differs.
get_filename_component(root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

file(READ "${root}/CMakeLists.txt" lists)
string(REGEX MATCH "project\\(quarn VERSION ([0-9.]+)" _ "${lists}")
set(project_version "${CMAKE_MATCH_1}")
file(STRINGS "${root}/debian/changelog" entry LIMIT_COUNT 1)
string(REGEX MATCH "^quarn \\(([^)]+)\\)" _ "${entry}")
set(package_version "${CMAKE_MATCH_1}")
if(NOT project_version OR NOT package_version STREQUAL project_version)
  message(FATAL_ERROR "CMakeLists.txt has version '${project_version}', "
                      "debian/changelog '${package_version}'")
endif()

# The words of a bash array `name=(...)`, in order.
file(READ "${root}/scripts/packages.sh" packages_sh)
string(REGEX MATCH "\nbuild_packages=\\(([^)]*)\\)" _ "${packages_sh}")
string(REGEX REPLACE "[ \t\n]+" ";" build_packages "${CMAKE_MATCH_1}")
list(REMOVE_ITEM build_packages "")

# The names of a control field's relations, without versions, architectures
# or build profiles.
file(READ "${root}/debian/control" control)
string(REGEX MATCH "\nBuild-Depends:([^\n]*(\n[ \t][^\n]*)*)" _ "${control}")
string(REGEX REPLACE "\\([^)]*\\)|\\[[^]]*\\]|<[^>]*>|[ \t\n]" ""
       relations "${CMAKE_MATCH_1}")
string(REPLACE "," ";" build_depends "${relations}")
list(REMOVE_ITEM build_depends "" "debhelper-compat")

set(only_in_control ${build_depends})
list(REMOVE_ITEM only_in_control ${build_packages})
set(only_in_script ${build_packages})
list(REMOVE_ITEM only_in_script ${build_depends})
if(NOT build_packages OR only_in_control OR only_in_script)
  message(FATAL_ERROR "Build-Depends in debian/control and build_packages in "
                      "scripts/packages.sh differ: only in debian/control: "
                      "'${only_in_control}'; only in scripts/packages.sh: "
                      "'${only_in_script}'")
endif()
