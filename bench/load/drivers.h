// The load drivers of zul_load; each runs in a process of its own and prints its figures.
#pragma once

namespace zul::bench {

int RunSignOnStorm();
int RunSignOnStormFresh();
int RunSignOnList();
int RunMessageStream();
int RunOutbox();
int RunIdle();
int RunResident();
int RunSoak();

}  // namespace zul::bench
