# cmake -DDIR=<dir> -P FreshDirectory.cmake: empties <dir>, creating it if needed.
file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR})
