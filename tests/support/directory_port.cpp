#include "tests/support/directory_port.h"

#include <stdlib.h>
#include <string.h>

#include "lookup/literals.h"

unsigned short DirectoryPort()
{
    const char *baseUrl = BaseUrlText();
    const char *colon = strrchr(baseUrl + strlen("http://"), ':');
    return colon ? static_cast<unsigned short>(atoi(colon + 1)) : 80;
}
