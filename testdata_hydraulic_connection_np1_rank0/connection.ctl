HydraulicConnection { TargetReservoir = 2; ChannelWidth = 5; ChannelBottom = 400; ChannelLength = 100; RoughnessCoeff = inf; }
