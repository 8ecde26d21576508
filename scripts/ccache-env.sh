# Sourced by the build scripts. Paths below the checkout are hashed relative to it, and not the
# build directory itself, so that another checkout of the same sources (a fresh clone) finds the
# compiles of this one in ccache. A caller's own settings win.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(pwd)}"
export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
