#pragma once
// The keeper: keeps the main program running while the monitor lives.
