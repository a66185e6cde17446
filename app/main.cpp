// Program entry: everything happens in the application object.
#include <wx/app.h>

#include "app/orvantis_app.h"

wxIMPLEMENT_APP_NO_MAIN(OrvantisApp);

int main(int argc, char** argv)
{
    OrvantisApp::SetStartName(argc > 0 ? argv[0] : nullptr);
    return wxEntry(argc, argv);
}
