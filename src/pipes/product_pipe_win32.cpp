#include "pipes/product_pipe_win32.h"

#include "pipes/pipe_path.h"
#include "text/current_user_win32.h"

std::string ProductPipeName() { return ProductPipeNameFor(WideToUtf8(CurrentUserSid())); }
