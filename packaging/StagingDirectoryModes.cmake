# Run by CPack on its staging tree before it packs it. Directories are created there through the
# builder's umask, and dpkg would create missing ones with whatever mode the package says: a
# builder with umask 077 would ship folders (icon sizes, rules.d) that nobody else can read.
file(GLOB_RECURSE staged_paths LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(path IN LISTS staged_paths)
    if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
        file(CHMOD "${path}" DIRECTORY_PERMISSIONS
             OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
endforeach()
