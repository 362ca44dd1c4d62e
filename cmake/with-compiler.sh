#!/bin/sh
# with-compiler.sh COMPILER REPLACED COMMAND ARGUMENTS...
# A compiler and link launcher: runs COMMAND with its ARGUMENTS, with COMPILER
# in place of COMMAND when COMMAND is REPLACED (the other steps of a link,
# such as archiving the objects, run as they are). The MinGW build gives it to
# the targets that must be built with the win32-thread-model compiler of the
# same width while the rest of the tree keeps the posix one (the same GCC, the
# same ABI, another thread layer under the C++ runtime).
compiler=$1
replaced=$2
shift 2
if [ "$1" = "$replaced" ]; then
  shift
  exec "$compiler" "$@"
fi
exec "$@"
