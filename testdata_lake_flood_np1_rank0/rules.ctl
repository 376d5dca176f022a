[abstraction_rule_reservoir_1]
2
0 0
1e9 0
