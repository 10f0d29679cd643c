# hexmidi_warnings(target): the project's warning set, errors too when HEXMIDI_WERROR is on.
function(hexmidi_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${HEXMIDI_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                             $<$<BOOL:${HEXMIDI_WERROR}>:-Werror>)
  endif()
endfunction()
