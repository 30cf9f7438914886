// orvex_parameter_demo: reads two product numbers, renames the camera's friendly name and
// reads it back, all through the module's functions. A program of its own, so the module an
// application imports carries no entry point that writes the camera's parameters.
#include "demo.h"
#include "orvex_parameter.h"

int main()
{
    struct _QLParameter *handle = orvex_parameter_new();
    query(handle, "root.Brand.ProdNbr");
    query(handle, "root.System.ProdNbr");
    set(handle, "root.Network.Bonjour.FriendlyName", "Hello World!");
    query(handle, "root.Network.Bonjour.FriendlyName");
    orvex_parameter_free(handle);
    return 0;
}
