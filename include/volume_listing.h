// The disk and volume tables of -ld and -lv.
#pragma once

int ListVolumes();
int ListDisks();
