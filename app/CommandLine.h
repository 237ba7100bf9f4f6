// Placeholder: the command-line splitter and the switch recognition land here.
#pragma once
