[abstraction_rule_abstraction_1]
2
0 5
1e9 5
