# Warnings are errors in every build.
if(MSVC)
  add_compile_options(/W4 /WX /permissive-)
else()
  add_compile_options(-Wall -Wextra -Werror -Wno-missing-field-initializers)
endif()
