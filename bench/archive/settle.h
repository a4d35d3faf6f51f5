#pragma once
// Lets the disk finish the writing that earlier phases left behind, so that
// each timed phase pays only for its own.
void SettleDisk();
