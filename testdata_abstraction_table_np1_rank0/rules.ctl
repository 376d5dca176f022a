[abstraction_rule_abstraction_7]
1
0 1
