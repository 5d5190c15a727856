#include "Tavrel_Agent/AppDelegate.h"

int runTavrelApp(int, char*[], AgentEnvironment, const QString&)
{
    return 0;
}
