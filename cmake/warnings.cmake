# Warnings are errors on both compilers.
set(LPCDEMO_WARNINGS -Wall -Wextra -Wshadow -Wundef -Werror)
