# The launcher runtime: what tallix-pack needs to link a launcher. Staged in
# the build tree (for the tests) and installed to lib/tallix-onefile.
set(TALLIX_RUNTIME_DIR ${CMAKE_BINARY_DIR}/runtime)
