#include "Tavrel_Agent/AppDelegate.h"

int main(int argc, char* argv[]) {
    return runTavrelApp(argc, argv, AgentEnvironment::production(), QStringLiteral("com.tavrel.agentui"));
}
