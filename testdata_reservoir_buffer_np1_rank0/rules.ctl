[abstraction_rule_reservoir_1]
2
0 0
1e6 10
WeekDays = -1
