2
0 0
10 1
TargetCap = nan
