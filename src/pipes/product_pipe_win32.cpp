#include "pipes/pipe_path.h"
#include "text/current_user.h"

std::string ProductPipeName() { return ProductPipeNameFor(WideToUtf8(CurrentUserSid())); }
