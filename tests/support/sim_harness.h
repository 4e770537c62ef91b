// Starts and stops the device simulator for the device tests.
#pragma once
