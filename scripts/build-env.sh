# Sourced by the build scripts: compile through ccache when it is there, with
# paths made relative to the checkout, so that the C++ tests and the
# extension for each interpreter share the objects of the core.
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=$PWD
  export CCACHE_NOHASHDIR=1
fi
