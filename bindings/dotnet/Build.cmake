# Builds the C# binding, its sample and its test program with Mono's mcs:
#   cmake -DMCS=mcs -DSOURCE=bindings/dotnet -DOUT=<folder> -P Build.cmake
# Warnings are errors, and every public member must have its documentation.
file(MAKE_DIRECTORY ${OUT})
set(flags -langversion:7 -warnaserror+ -nologo -debug)
foreach(step
    "-target:library;-doc:${OUT}/MifareZub.xml;-out:${OUT}/MifareZub.dll;${SOURCE}/MifareZub.cs"
    "-r:${OUT}/MifareZub.dll;-out:${OUT}/Sample.exe;${SOURCE}/sample/Sample.cs"
    "-r:${OUT}/MifareZub.dll;-r:System.Core.dll;-out:${OUT}/Tests.exe;${SOURCE}/tests/Tests.cs")
  execute_process(COMMAND ${MCS} ${flags} ${step} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "mcs failed (${status}): ${step}")
  endif()
endforeach()
