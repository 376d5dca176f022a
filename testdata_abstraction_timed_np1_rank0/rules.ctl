[abstraction_rule_abstraction_1]
2
0 4
1e9 4
WeekDays = 1234567
