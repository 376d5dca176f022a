[abstraction_rule_abstraction_5]
1
0 1
