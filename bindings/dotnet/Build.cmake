# Builds the C# binding, its sample and its test program with Mono's mcs:
#   cmake -DMCS=mcs -DSOURCE=bindings/dotnet -DOUT=<folder> -P Build.cmake
# The binding is every *.cs file in SOURCE (the parts MifareZub.csproj lists;
# tests/test_package.py holds the two lists equal). Warnings are errors, and
# every public member must have its documentation.
file(MAKE_DIRECTORY ${OUT})
file(GLOB parts LIST_DIRECTORIES false ${SOURCE}/*.cs)
list(SORT parts)
if(NOT parts)
  message(FATAL_ERROR "no C# sources in ${SOURCE}")
endif()
set(flags -langversion:7 -warnaserror+ -nologo -debug)
foreach(step
    "-target:library;-doc:${OUT}/MifareZub.xml;-out:${OUT}/MifareZub.dll;${parts}"
    "-r:${OUT}/MifareZub.dll;-out:${OUT}/Sample.exe;${SOURCE}/sample/Sample.cs"
    "-r:${OUT}/MifareZub.dll;-r:System.Core.dll;-out:${OUT}/Tests.exe;${SOURCE}/tests/Tests.cs")
  execute_process(COMMAND ${MCS} ${flags} ${step} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "mcs failed (${status}): ${step}")
  endif()
endforeach()
