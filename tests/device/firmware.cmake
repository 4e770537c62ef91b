# hex verification and firmware
