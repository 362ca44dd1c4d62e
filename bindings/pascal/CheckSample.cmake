# Runs the Pascal sample against the virtual reader and checks its session:
# exit status 0, the card's answers, and result texts shown in UTF-8.
# cmake -DSAMPLE=<path of the built sample> -P CheckSample.cmake
if(NOT SAMPLE)
  message(FATAL_ERROR "SAMPLE not set")
endif()

# The virtual reader's defaults: 1K card, UID 1A7B8C54, device index 0.
foreach(name CARD UID IMAGE SAVE_ON_CLOSE TRACE DEVICE_INDEX HONOUR_TIMEOUT)
  unset(ENV{ZUBSIM_${name}})
endforeach()
# A locale with no UTF-8 in it must not change what is printed.
set(ENV{LC_ALL} C)

execute_process(COMMAND ${SAMPLE} 0
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the sample exited with ${status}")
endif()

set(expected
  "request all cards +0  OK ATQA 0400"
  "anticollision +0  OK serial 1A7B8C54B9"
  "select the card +0  OK SAK 08"
  "read block 4 back +0  OK 48656C6C6F2C2050617363616C21000A"
  "value 125"
  "request idle cards: none answers +1  没有卡或密码错 \\(no card answers, or the sector is not authenticated\\)"
  "authenticate with it +4  密码错 \\(wrong key\\)"
  "LED level 128 is refused +1  没有卡或密码错"
  "a command after closing +-1  串口错 \\(reader not open or not answering\\)"
  "session complete")
foreach(line IN LISTS expected)
  if(NOT out MATCHES "${line}")
    message(FATAL_ERROR "missing from the sample's output: ${line}")
  endif()
endforeach()
if(out MATCHES "unexpected")
  message(FATAL_ERROR "the sample reported an unexpected result")
endif()
