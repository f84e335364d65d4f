# Warnings for the project's own targets: zb_warnings(<target>)
function(zb_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion -Wno-sign-conversion)
endfunction()
