// placeholder until the subsystem lands
