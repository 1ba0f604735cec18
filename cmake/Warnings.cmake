# -Wall -Wextra -Werror for everything the project compiles, in every preset.
add_compile_options(-Wall -Wextra -Werror)
