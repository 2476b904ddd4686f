// What the process sets up about itself before anything else: it holds the agent's L2 key and
// token in memory, so neither a core file nor another process of the same user may read them.
#pragma once

namespace tessarin {

// Core file size limit 0 (soft and hard), and the process made undumpable, which also keeps
// other processes of the same user from attaching to it or reading its memory (as ssh-agent
// does). Two system calls, so the cheapest commands stay cheap; failures change nothing else.
void guard_process();

}  // namespace tessarin
